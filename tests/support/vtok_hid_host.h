// A minimal host for the virtual HID token, written from the report and
// frame formats alone (it shares no code with the middleware's transport):
// tests use it to drive the device model with hand-built reports.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/platform.h"

namespace vtok_test {

using report = std::array<uint8_t, 64>;

// FE 01 header with the command (n <= 65535; lengths are written as given).
std::vector<uint8_t> request_frame(const std::vector<uint8_t>& apdu);
// 63-byte chunks with the first/last flags.
std::vector<report> frame_reports(const std::vector<uint8_t>& frame);
// Extended-length APDU builders (cases 1, 2E, 3E, 4E).
std::vector<uint8_t> apdu1(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2);
std::vector<uint8_t> apdu2e(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, uint16_t le);
std::vector<uint8_t> apdu3e(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                            const std::vector<uint8_t>& data);
std::vector<uint8_t> apdu4e(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                            const std::vector<uint8_t>& data, uint16_t le);
uint16_t sw_of(const std::vector<uint8_t>& data_sw);

// One opened token on a backend (by default the first device with the
// token's vendor id); detaches the kernel driver and claims interface 0.
class hid_host {
 public:
  explicit hid_host(rx::plat::backend& b, uint8_t address = 0);
  ~hid_host();
  hid_host(const hid_host&) = delete;
  hid_host& operator=(const hid_host&) = delete;

  bool ok() const { return handle_ != nullptr; }
  int open_result() const { return open_rc_; }
  rx::plat::usb_device_handle* handle() { return handle_; }

  int send_report(const report& r, unsigned timeout_ms = 1000);
  int send_frame(const std::vector<uint8_t>& frame);
  // Reads reports until one carries the last flag (at most max_reports);
  // the reports read go to *reports when given. 0 or the failing libusb error.
  int read_frame(std::vector<uint8_t>* frame, std::vector<report>* reports = nullptr,
                 int max_reports = 64, unsigned timeout_ms = 1000);
  // Sends an APDU and returns the response's data+SW (empty on a transport
  // failure or a malformed response frame).
  std::vector<uint8_t> transmit(const std::vector<uint8_t>& apdu);

  int claim();
  int release();

 private:
  rx::plat::backend& b_;
  rx::plat::usb_device_handle* handle_ = nullptr;
  int open_rc_ = rx::plat::USB_ERROR_NOT_FOUND;
};

}  // namespace vtok_test
