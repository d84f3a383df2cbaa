// The HID control-channel transport: tokens with an HID and a mass-storage
// interface ("hidctr_" paths). The same request/response frames and 64-byte
// reports as linux_device_hid, moved with HID class requests on the default
// control pipe (SET_REPORT out, GET_REPORT in) addressed to interface 0.
// All USB and clock access goes through rx::plat::get().
#pragma once

#include <cstdint>
#include <vector>

#include "transport/device_common.h"
#include "transport/platform.h"

class linux_device_hid_ctrio : public device_common {
 public:
  explicit linux_device_hid_ctrio(const char* path);
  ~linux_device_hid_ctrio() override;

  // 0, a negative libusb error, -1 (I/O context), or 1 (no device list).
  // 0 with no handle when no device matches the path.
  int open() override;
  int close() override;
  // 0, or 1: no handle, command above 1133 bytes, claim or report failed.
  int send_data(const unsigned char* data, int len) override;
  // `*len` on entry: capacity of `buf`. 0, or a rx::hid::recv_result.
  int receive_data(unsigned char* buf, int* len) override;
  int send_raw_data(const unsigned char* cdb, int cdb_len, const unsigned char* data,
                    long len) override;
  int receive_raw_data(const unsigned char* cdb, int cdb_len, unsigned char* buf,
                       long* len) override;
  int device_io(const unsigned char* cmd, int cmd_len, unsigned char* resp, int* resp_len) override;
  int get_device_type() override { return 1; }

  // Non-virtual steps.
  bool find_device(const std::vector<rx::plat::usb_device_ref>& list, size_t index);
  // 0; 1 the device is gone or a report failed; else the last claim error.
  int cmd_write_data(const uint8_t* frame, int total);
  // 0; 1 chunk longer than 63 bytes; 3 the SET_REPORT failed.
  int cmd_write(const uint8_t* chunk, int len, bool first, bool last);
  // 0 and *total; 1 a report failed, the frame overran `capacity`, or the
  // token sent only empty reports until the reassembly deadline.
  int cmd_read_data(uint8_t* frame, int capacity, int* total);
  // 0; 1 the GET_REPORT failed.
  int cmd_read(uint8_t* payload, int* len, bool* first, bool* last);
  int reconnect();

  bool is_open() const { return handle_ != nullptr; }

 private:
  void release();

  rx::plat::usb_device_handle* handle_ = nullptr;
  rx::plat::backend* owner_ = nullptr;  // the backend that opened handle_
};
