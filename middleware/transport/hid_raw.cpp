#include "transport/hid_raw.h"

#include "transport/hid_frame.h"

namespace rx {
namespace hid {

namespace {
constexpr unsigned kClaimRetryMs = 20;
constexpr int kRawClaimRetries = 50;
}  // namespace

int claim_interface_with_retries(plat::usb_device_handle* h, int iface, int retries,
                                 bool go_on_if_all_fail) {
  plat::backend& be = plat::get();
  int r = be.usb_claim_interface(h, iface);
  if (r == 0) return 0;
  if (r == plat::USB_ERROR_NO_DEVICE) return 1;
  for (int i = 0; i < retries; ++i) {
    be.sleep_ms(kClaimRetryMs);
    r = be.usb_claim_interface(h, iface);
    if (r == 0) return 0;
    if (r == plat::USB_ERROR_NO_DEVICE) return 1;
  }
  return go_on_if_all_fail ? 0 : r;
}

int send_raw_report(plat::usb_device_handle* h, int iface, uint8_t ep_out, const uint8_t* cdb,
                    int cdb_len, const uint8_t* data, long len, unsigned timeout_ms) {
  uint8_t report[kReportSize];
  if (!build_raw_report(cdb, cdb_len, data, len, report)) return 1;
  if (!h) return 1;
  if (claim_interface_with_retries(h, iface, kRawClaimRetries, true) != 0) return 1;
  int transferred = 0;
  plat::backend& be = plat::get();
  int r = be.usb_interrupt_transfer(h, ep_out, report, kReportSize, &transferred, timeout_ms);
  be.usb_release_interface(h, iface);
  return r == 0 ? 0 : 1;
}

int receive_raw_report(plat::usb_device_handle* h, int iface, uint8_t ep_in, uint8_t* buf,
                       long* len, unsigned timeout_ms) {
  if (!h) return RAW_READ_FAILED;
  if (claim_interface_with_retries(h, iface, kRawClaimRetries, true) != 0) return RAW_READ_FAILED;
  // Zero-filled beyond the report, so that lengths up to kMaxRawLength read
  // zeros past its end.
  uint8_t report[kRawDataOffset + kMaxRawLength + kReportSize] = {0};
  int transferred = 0;
  plat::backend& be = plat::get();
  int r = be.usb_interrupt_transfer(h, static_cast<uint8_t>(ep_in | 0x80), report, kReportSize,
                                    &transferred, timeout_ms);
  be.usb_release_interface(h, iface);
  if (r != 0) return RAW_READ_FAILED;
  return parse_raw_response(report, buf, len);
}

}  // namespace hid
}  // namespace rx
