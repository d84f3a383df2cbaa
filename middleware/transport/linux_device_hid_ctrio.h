// The HID control-channel transport: tokens with an HID and a mass-storage
// interface ("hidctr_" paths). The same request/response frames and 64-byte
// reports as linux_device_hid, moved with HID class requests on the default
// control pipe (SET_REPORT out, GET_REPORT in) addressed to interface 0.
// All USB and clock access goes through rx::plat::get().
#pragma once

#include <cstdint>
#include <vector>

#include "transport/platform.h"
#include "transport/usb_hid_device.h"

class linux_device_hid_ctrio : public usb_hid_device {
 public:
  explicit linux_device_hid_ctrio(const char* path);

  // Matches the path only: these tokens carry the HID interface as interface 0.
  bool find_device(const std::vector<rx::plat::usb_device_ref>& list, size_t index) override;
  // 0; 1 chunk longer than 63 bytes; 3 the SET_REPORT failed.
  int cmd_write(const uint8_t* chunk, int len, bool first, bool last) override;
  // 0 and *total; 1 a report failed, the frame overran `capacity`, or the
  // token sent only empty reports until the reassembly deadline.
  int cmd_read_data(uint8_t* frame, int capacity, int* total) override;
  // 0; 1 the GET_REPORT failed.
  int cmd_read(uint8_t* payload, int* len, bool* first, bool* last);

 private:
  // Raw reports use the interrupt endpoints 0x01 (OUT) and 0x81 (IN).
  uint8_t raw_out_endpoint() const override { return 0x01; }
  uint8_t raw_in_endpoint() const override { return 0x01; }
  int claim_for_write() override;
};
