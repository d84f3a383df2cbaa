// The HID transport over interrupt reports. All USB and clock
// access goes through rx::plat::get().
#pragma once

#include <cstdint>
#include <vector>

#include "transport/device_common.h"
#include "transport/platform.h"

class linux_device_hid : public device_common {
 public:
  explicit linux_device_hid(const char* path);
  ~linux_device_hid() override;

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
  // docs/hid-raw-response.md. `*len` on entry: capacity of `buf`.
  int receive_raw_data(const unsigned char* cdb, int cdb_len, unsigned char* buf,
                       long* len) override;
  int device_io(const unsigned char* cmd, int cmd_len, unsigned char* resp, int* resp_len) override;
  int get_device_type() override { return 1; }

  // Non-virtual steps.
  bool find_device(const std::vector<rx::plat::usb_device_ref>& list, size_t index);
  int cmd_write_data(const uint8_t* frame, int total);
  int cmd_write(const uint8_t* chunk, int len, bool first, bool last);
  int cmd_read_data(uint8_t* frame, int capacity, int* total);
  int cmd_read(uint8_t* payload, int* len, bool* first, bool* last);
  int reconnect();

  // Introspection (tests and diagnostics).
  bool is_open() const { return handle_ != nullptr; }
  int short_timeout_flag() const { return short_timeout_; }
  uint8_t interface_index() const { return iface_; }
  uint8_t in_endpoint() const { return ep_in_; }
  uint8_t out_endpoint() const { return ep_out_; }

 private:
  unsigned transfer_timeout();
  int claim_with_retries(int retries, bool go_on_if_all_fail);
  void release();

  rx::plat::usb_device_handle* handle_ = nullptr;
  rx::plat::backend* owner_ = nullptr;  // the backend that opened handle_
  int short_timeout_ = 0;
  uint8_t iface_class_ = 0;
  uint8_t iface_ = 0;
  uint8_t ep_in_ = 1;
  uint8_t ep_out_ = 1;
  uint8_t in_type_ = 0;
  uint8_t out_type_ = 0;
};
