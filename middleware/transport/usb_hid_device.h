// What the two HID transports (interrupt reports and control-channel reports)
// have in common: the USB handle with the backend that opened it, the HID
// interface, opening the first device of the bus that matches the path, and
// the request/response frames cut into 64-byte reports. How a report travels
// and how a frame is reassembled is left to each transport.
// All USB access goes through rx::plat::get().
#pragma once

#include <cstdint>
#include <vector>

#include "transport/device_common.h"
#include "transport/platform.h"

class usb_hid_device : public device_common {
 public:
  ~usb_hid_device() override;

  // 0, a negative libusb error, -1 (I/O context), or 1 (no device list).
  // 0 with no handle when no device matches the path.
  int open() override;
  int close() override;
  // 0, or 1: no handle, command above 1133 bytes, claim or report failed.
  int send_data(const unsigned char* data, int len) override;
  // `*len` on entry: capacity of `buf`. 0, or a rx::hid::recv_result.
  int receive_data(unsigned char* buf, int* len) override;
  // 0; 1 the command was not sent; 2 no answer was received.
  int device_io(const unsigned char* cmd, int cmd_len, unsigned char* resp, int* resp_len) override;
  int get_device_type() override { return 1; }
  // A raw vendor command: one 64-byte report out (at most 44 data bytes).
  int send_raw_data(const unsigned char* cdb, int cdb_len, const unsigned char* data,
                    long len) override;
  // The answer of a raw command (docs/hid-raw-response.md). `*len` on entry:
  // capacity of `buf`.
  int receive_raw_data(const unsigned char* cdb, int cdb_len, unsigned char* buf,
                       long* len) override;

  // Whether list[index] is the device of this object's path.
  virtual bool find_device(const std::vector<rx::plat::usb_device_ref>& list, size_t index) = 0;
  // Claims the interface, then sends `frame` in chunks with cmd_write.
  // 0; 1 the device is gone or a report failed (the interface is then
  // released); else the last claim error.
  int cmd_write_data(const uint8_t* frame, int total);
  // One report carrying `chunk` (at most 63 bytes). 0 on success.
  virtual int cmd_write(const uint8_t* chunk, int len, bool first, bool last) = 0;
  // Reassembles one frame of at most `capacity` bytes and releases the
  // interface. 0 and *total, else nonzero.
  virtual int cmd_read_data(uint8_t* frame, int capacity, int* total) = 0;
  // A USB port reset: its result, or 1 with no handle.
  int reconnect();

  bool is_open() const { return handle_ != nullptr; }

 protected:
  explicit usb_hid_device(const char* path);

  // Claims iface_ before a command is written: 0, else the result
  // cmd_write_data gives back.
  virtual int claim_for_write() = 0;
  void release();
  // The timeout of a raw report: the communication timeout; 0 would mean
  // "wait forever" to libusb and is read as 5000 ms.
  unsigned raw_report_timeout() const;
  // The interrupt endpoints raw reports travel on (numbers without the
  // direction bit).
  virtual uint8_t raw_out_endpoint() const = 0;
  virtual uint8_t raw_in_endpoint() const = 0;

  rx::plat::usb_device_handle* handle_ = nullptr;
  rx::plat::backend* owner_ = nullptr;  // the backend that opened handle_
  uint8_t iface_ = 0;                   // the HID interface; find_device may pick another than 0
};
