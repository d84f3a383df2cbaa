#include "transport/linux_device_hid.h"

#include <cstdio>
#include <cstring>

#include "transport/hid_frame.h"
#include "transport/hid_usb.h"

using namespace rx;
using plat::backend;

namespace {
constexpr int kClaimRetries = 50;
constexpr unsigned kClaimRetryMs = 20;
}  // namespace

linux_device_hid::linux_device_hid(const char* path) : usb_hid_device(path) {}

bool linux_device_hid::find_device(const std::vector<plat::usb_device_ref>& list, size_t index) {
  backend& be = plat::get();
  plat::usb_device* dev = list[index].get();
  plat::usb_device_descriptor desc;
  if (be.usb_get_device_descriptor(dev, &desc) != 0) return false;
  char path[64];
  hid::format_path(path, sizeof(path), false, desc.idVendor, desc.idProduct,
                   hid::path_address(be, list, index));
  if (std::strcmp(path, path_) != 0) return false;

  if (iface_class_ != 0) return true;  // scanned before

  iface_ = 0;
  ep_in_ = 1;
  ep_out_ = 1;
  if (desc.bNumConfigurations == 0) return true;
  for (int c = 0; c < desc.bNumConfigurations; ++c) {
    plat::usb_config_descriptor cfg;
    if (be.usb_get_config_descriptor(dev, static_cast<uint8_t>(c), &cfg) != 0) continue;
    for (size_t i = 0; i < cfg.interfaces.size(); ++i) {
      iface_ = static_cast<uint8_t>(i);
      for (const plat::usb_interface_descriptor& alt : cfg.interfaces[i].altsettings) {
        for (const plat::usb_endpoint_descriptor& ep : alt.endpoints) {
          if (ep.bEndpointAddress & 0x80) {
            ep_in_ = ep.bEndpointAddress;
            in_type_ = ep.bmAttributes & 0x03;
          } else {
            ep_out_ = ep.bEndpointAddress;
            out_type_ = ep.bmAttributes & 0x03;
          }
        }
        if (alt.bInterfaceClass == plat::USB_CLASS_HID) {
          iface_class_ = plat::USB_CLASS_HID;
          return true;
        }
      }
    }
  }
  return true;
}

unsigned linux_device_hid::transfer_timeout() {
  if (comm_timeout_ < 5000) comm_timeout_ = 5000;
  int& flag = hid::insert_flag();
  if (flag) {
    flag = 0;
    short_timeout_ = 1;
  }
  if (short_timeout_) comm_timeout_ = 3000;
  return static_cast<unsigned>(comm_timeout_);
}

int linux_device_hid::claim_with_retries(int retries, bool go_on_if_all_fail) {
  backend& be = plat::get();
  int r = be.usb_claim_interface(handle_, iface_);
  if (r == 0) return 0;
  for (int i = 0; i < retries; ++i) {
    be.sleep_ms(kClaimRetryMs);
    r = be.usb_claim_interface(handle_, iface_);
    if (r == 0) return 0;
    if (r == plat::USB_ERROR_NO_DEVICE) return 1;
  }
  return go_on_if_all_fail ? 0 : r;
}

int linux_device_hid::cmd_write(const uint8_t* chunk, int len, bool first, bool last) {
  if (len > hid::kChunk || len < 0) return 1;
  uint8_t report[hid::kReportSize] = {0};
  report[0] = static_cast<uint8_t>(len | (first ? hid::kFlagFirst : 0) | (last ? hid::kFlagLast : 0));
  if (len > 0) std::memcpy(report + 1, chunk, len);
  unsigned timeout = transfer_timeout();
  int transferred = 0;
  int r = plat::get().usb_interrupt_transfer(handle_, ep_out_, report, hid::kReportSize,
                                            &transferred, timeout);
  if (r == 0) {
    short_timeout_ = 0;
    return 0;
  }
  if (r == plat::USB_ERROR_TIMEOUT) short_timeout_ = 1;
  return 2;
}

int linux_device_hid::claim_for_write() { return claim_with_retries(kClaimRetries, false); }

int linux_device_hid::cmd_read(uint8_t* payload, int* len, bool* first, bool* last) {
  unsigned timeout = transfer_timeout();
  uint8_t report[hid::kReportSize] = {0};
  int transferred = 0;
  int r = plat::get().usb_interrupt_transfer(handle_, static_cast<uint8_t>(ep_in_ | 0x80), report,
                                            hid::kReportSize, &transferred, timeout);
  if (r != 0) {
    if (r == plat::USB_ERROR_TIMEOUT) short_timeout_ = 1;
    return 1;
  }
  short_timeout_ = 0;
  if (transferred < 1 || transferred > hid::kReportSize) return 1;  // not even the flags byte
  const int n = report[0] & hid::kLengthMask;
  if (n > transferred - 1) return 1;  // announces payload the report did not carry
  *first = (report[0] & hid::kFlagFirst) != 0;
  *last = (report[0] & hid::kFlagLast) != 0;
  *len = n;
  if (n > 0) std::memcpy(payload, report + 1, static_cast<size_t>(n));
  return 0;
}

int linux_device_hid::cmd_read_data(uint8_t* frame, int capacity, int* total) {
  backend& be = plat::get();
  // The overall deadline of one reassembly: twice the transfer timeout in
  // force when it starts (the first report may take up to one timeout, the
  // rest get at least as long again), measured with the seam's clock. As a
  // clock-independent bound, the number of reports without payload is
  // limited to one per millisecond of that budget.
  const uint64_t budget = 2ull * transfer_timeout();
  const uint64_t deadline = be.monotonic_ms() + budget;
  uint64_t empty_reports = 0;
  int got = 0;
  for (;;) {
    uint8_t payload[hid::kChunk];
    int n = 0;
    bool first = false, last = false;
    if (cmd_read(payload, &n, &first, &last) != 0) break;
    if (got + n > capacity) break;  // the frame would overrun the buffer
    std::memcpy(frame + got, payload, n);
    got += n;
    if (last) {
      *total = got;
      release();
      return 0;
    }
    if (n == 0 && ++empty_reports > budget) break;
    if (be.monotonic_ms() >= deadline) break;
  }
  release();
  return 1;
}

