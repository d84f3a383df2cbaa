// The HID transport over interrupt reports: the interface and endpoints are
// found in the configuration descriptors. All USB and clock access goes
// through rx::plat::get().
#pragma once

#include <cstdint>
#include <vector>

#include "transport/platform.h"
#include "transport/usb_hid_device.h"

class linux_device_hid : public usb_hid_device {
 public:
  explicit linux_device_hid(const char* path);

  // Matches the path and, on the first match, scans the configurations for
  // the HID interface and its endpoints.
  bool find_device(const std::vector<rx::plat::usb_device_ref>& list, size_t index) override;
  // 0; 1 chunk longer than 63 bytes; 2 the interrupt transfer failed.
  int cmd_write(const uint8_t* chunk, int len, bool first, bool last) override;
  int cmd_read_data(uint8_t* frame, int capacity, int* total) override;
  // One IN report: its flags and payload (at most 63 bytes) into `payload`.
  // 0; 1 the transfer failed, or the report announces more payload than the
  // transfer delivered.
  int cmd_read(uint8_t* payload, int* len, bool* first, bool* last);

  // Introspection (tests and diagnostics).
  int short_timeout_flag() const { return short_timeout_; }
  uint8_t interface_index() const { return iface_; }
  uint8_t in_endpoint() const { return ep_in_; }
  uint8_t out_endpoint() const { return ep_out_; }

 private:
  uint8_t raw_out_endpoint() const override { return ep_out_; }
  uint8_t raw_in_endpoint() const override { return ep_in_; }
  unsigned transfer_timeout();
  int claim_for_write() override;
  int claim_with_retries(int retries, bool go_on_if_all_fail);

  int short_timeout_ = 0;
  uint8_t iface_class_ = 0;
  uint8_t ep_in_ = 1;
  uint8_t ep_out_ = 1;
  uint8_t in_type_ = 0;
  uint8_t out_type_ = 0;
};
