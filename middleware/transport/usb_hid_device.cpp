#include "transport/usb_hid_device.h"

#include "transport/hid_frame.h"
#include "transport/hid_raw.h"
#include "transport/hid_usb.h"

using namespace rx;
using plat::backend;

namespace {
constexpr int kDefaultCommTimeout = 10000;
constexpr unsigned kDefaultRawTimeout = 5000;
}  // namespace

usb_hid_device::usb_hid_device(const char* path) : device_common(path, kDefaultCommTimeout) {}

usb_hid_device::~usb_hid_device() { close(); }

int usb_hid_device::close() {
  if (handle_) {
    // A handle made by a backend that is no longer installed cannot be
    // closed through another one; it is forgotten.
    if (owner_ == &plat::get()) owner_->usb_close(handle_);
    handle_ = nullptr;
    owner_ = nullptr;
  }
  return 0;
}

int usb_hid_device::open() {
  close();
  plat::usb_context* ctx = nullptr;
  int r = hid::init_io_context(&ctx);
  if (r < 0) return r;
  backend& be = plat::get();
  std::vector<plat::usb_device_ref> list;
  if (be.usb_get_device_list(ctx, &list) < 0) return 1;

  int result = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (!find_device(list, i)) continue;
    plat::usb_device_handle* h = nullptr;
    r = be.usb_open(list[i].get(), &h);
    if (r < 0 || !h) return r < 0 ? r : plat::USB_ERROR_OTHER;
    handle_ = h;
    owner_ = &be;
    result = be.usb_kernel_driver_active(h, iface_);
    if (result == 1) result = be.usb_detach_kernel_driver(h, iface_);
    break;
  }
  return result;
}

void usb_hid_device::release() {
  if (handle_) plat::get().usb_release_interface(handle_, iface_);
}

unsigned usb_hid_device::raw_report_timeout() const {
  return comm_timeout_ > 0 ? static_cast<unsigned>(comm_timeout_) : kDefaultRawTimeout;
}

int usb_hid_device::send_raw_data(const unsigned char* cdb, int cdb_len,
                                  const unsigned char* data, long len) {
  return rx::hid::send_raw_report(handle_, iface_, raw_out_endpoint(), cdb, cdb_len, data, len,
                                  raw_report_timeout());
}

int usb_hid_device::receive_raw_data(const unsigned char*, int, unsigned char* buf, long* len) {
  return rx::hid::receive_raw_report(handle_, iface_, raw_in_endpoint(), buf, len,
                                     raw_report_timeout());
}

int usb_hid_device::cmd_write_data(const uint8_t* frame, int total) {
  int r = claim_for_write();
  if (r != 0) return r;
  const int full = total / hid::kChunk;
  const int rem = total % hid::kChunk;
  for (int i = 0; i < full; ++i) {
    if (cmd_write(frame + i * hid::kChunk, hid::kChunk, i == 0, i == full - 1 && rem == 0) != 0) {
      release();
      return 1;
    }
  }
  if (rem != 0 && cmd_write(frame + full * hid::kChunk, rem, full == 0, true) != 0) {
    release();
    return 1;
  }
  return 0;
}

int usb_hid_device::send_data(const unsigned char* data, int len) {
  if (!handle_) return 1;
  if (len < 0 || len > hid::kMaxCommand || (len > 0 && !data)) return 1;
  uint8_t frame[hid::kFrameHeader + hid::kMaxCommand];
  int total = hid::build_request_frame(data, len, frame);
  if (total < 0) return 1;
  return cmd_write_data(frame, total) == 0 ? 0 : 1;
}

int usb_hid_device::receive_data(unsigned char* buf, int* len) {
  if (!handle_) return hid::RECV_READ_FAILED;
  uint8_t frame[hid::kMaxFrame] = {0};
  int total = 0;
  if (cmd_read_data(frame, hid::kMaxFrame, &total) != 0) return hid::RECV_READ_FAILED;
  return hid::parse_response_frame(frame, total, buf, len);
}

int usb_hid_device::device_io(const unsigned char* cmd, int cmd_len, unsigned char* resp,
                              int* resp_len) {
  if (send_data(cmd, cmd_len) != 0) return 1;
  if (receive_data(resp, resp_len) != 0) return 2;
  return 0;
}

int usb_hid_device::reconnect() {
  if (!handle_) return 1;
  return plat::get().usb_reset_device(handle_);
}
