#include "vtok_hid_host.h"

#include <algorithm>

namespace vtok_test {

using namespace rx::plat;

std::vector<uint8_t> request_frame(const std::vector<uint8_t>& apdu) {
  const size_t n = apdu.size();
  std::vector<uint8_t> f(23, 0);
  f[0] = 0xFE;
  f[1] = 0x01;
  f[16] = static_cast<uint8_t>((n + 3) & 0xFF);
  f[17] = static_cast<uint8_t>(((n + 3) >> 8) & 0xFF);
  f[20] = 0x12;
  f[21] = static_cast<uint8_t>((n >> 8) & 0xFF);
  f[22] = static_cast<uint8_t>(n & 0xFF);
  f.insert(f.end(), apdu.begin(), apdu.end());
  return f;
}

std::vector<report> frame_reports(const std::vector<uint8_t>& frame) {
  std::vector<report> out;
  size_t off = 0;
  do {
    const size_t chunk = std::min<size_t>(63, frame.size() - off);
    report r{};
    r[0] = static_cast<uint8_t>(chunk | (off == 0 ? 0x80 : 0) |
                                (off + chunk == frame.size() ? 0x40 : 0));
    std::copy(frame.begin() + static_cast<long>(off), frame.begin() + static_cast<long>(off + chunk),
              r.begin() + 1);
    out.push_back(r);
    off += chunk;
  } while (off < frame.size());
  return out;
}

std::vector<uint8_t> apdu1(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2) {
  return {cla, ins, p1, p2};
}

std::vector<uint8_t> apdu2e(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, uint16_t le) {
  return {cla, ins, p1, p2, 0, static_cast<uint8_t>(le >> 8), static_cast<uint8_t>(le)};
}

std::vector<uint8_t> apdu3e(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                            const std::vector<uint8_t>& data) {
  std::vector<uint8_t> a{cla, ins, p1, p2, 0, static_cast<uint8_t>(data.size() >> 8),
                         static_cast<uint8_t>(data.size())};
  a.insert(a.end(), data.begin(), data.end());
  return a;
}

std::vector<uint8_t> apdu4e(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                            const std::vector<uint8_t>& data, uint16_t le) {
  std::vector<uint8_t> a = apdu3e(cla, ins, p1, p2, data);
  a.push_back(static_cast<uint8_t>(le >> 8));
  a.push_back(static_cast<uint8_t>(le));
  return a;
}

uint16_t sw_of(const std::vector<uint8_t>& r) {
  if (r.size() < 2) return 0;
  return static_cast<uint16_t>((r[r.size() - 2] << 8) | r.back());
}

hid_host::hid_host(backend& b, uint8_t address) : b_(b) {
  std::vector<usb_device_ref> list;
  if (b_.usb_get_device_list(nullptr, &list) < 0) return;
  for (const auto& d : list) {
    usb_device_descriptor desc;
    if (b_.usb_get_device_descriptor(d.get(), &desc) != 0 || desc.idVendor != 0x7e3b) continue;
    if (address && b_.usb_get_device_address(d.get()) != address) continue;
    open_rc_ = b_.usb_open(d.get(), &handle_);
    if (open_rc_ != 0) {
      handle_ = nullptr;
      return;
    }
    if (b_.usb_kernel_driver_active(handle_, 0) == 1) b_.usb_detach_kernel_driver(handle_, 0);
    open_rc_ = claim();
    return;
  }
}

hid_host::~hid_host() {
  if (handle_) {
    b_.usb_release_interface(handle_, 0);
    b_.usb_close(handle_);
  }
}

int hid_host::claim() { return handle_ ? b_.usb_claim_interface(handle_, 0) : USB_ERROR_NO_DEVICE; }

int hid_host::release() {
  return handle_ ? b_.usb_release_interface(handle_, 0) : USB_ERROR_NO_DEVICE;
}

int hid_host::send_report(const report& r, unsigned timeout_ms) {
  if (!handle_) return USB_ERROR_NO_DEVICE;
  report copy = r;
  int done = 0;
  const int rc = b_.usb_interrupt_transfer(handle_, 0x01, copy.data(), 64, &done, timeout_ms);
  if (rc == 0 && done != 64) return USB_ERROR_IO;
  return rc;
}

int hid_host::send_frame(const std::vector<uint8_t>& frame) {
  for (const auto& r : frame_reports(frame)) {
    const int rc = send_report(r);
    if (rc != 0) return rc;
  }
  return 0;
}

int hid_host::read_frame(std::vector<uint8_t>* frame, std::vector<report>* reports,
                         int max_reports, unsigned timeout_ms) {
  if (!handle_) return USB_ERROR_NO_DEVICE;
  if (frame) frame->clear();
  for (int i = 0; i < max_reports; ++i) {
    report r{};
    int done = 0;
    const int rc = b_.usb_interrupt_transfer(handle_, 0x81, r.data(), 64, &done, timeout_ms);
    if (rc != 0) return rc;
    if (done != 64) return USB_ERROR_IO;
    if (reports) reports->push_back(r);
    const size_t n = r[0] & 0x3F;
    if (frame) frame->insert(frame->end(), r.begin() + 1, r.begin() + 1 + static_cast<long>(n));
    if (r[0] & 0x40) return 0;
  }
  return USB_ERROR_OVERFLOW;
}

std::vector<uint8_t> hid_host::transmit(const std::vector<uint8_t>& apdu) {
  if (send_frame(request_frame(apdu)) != 0) return {};
  std::vector<uint8_t> f;
  if (read_frame(&f) != 0 || f.size() < 23 || f[0] != 0xAA || f[20] != 0x12) return {};
  const size_t m = (static_cast<size_t>(f[21]) << 8) | f[22];
  if (f.size() != 23 + m) return {};
  return std::vector<uint8_t>(f.begin() + 23, f.end());
}

}  // namespace vtok_test
