// The raw report exchange (vendor pass-through commands) shared by the two
// HID transports: one 64-byte interrupt OUT report carrying a command block,
// one 64-byte interrupt IN report carrying the answer
// (docs/hid-raw-response.md). Each operation claims the interface itself
// and releases it when done, so a command that expects no answer leaves
// nothing claimed.
#pragma once

#include <cstdint>

#include "transport/platform.h"

namespace rx {
namespace hid {

// Claims `iface`: one attempt and up to `retries` more, 20 ms apart on the
// seam clock. 0 on success; 1 at once when the device is gone; otherwise the
// last libusb error, or 0 when go_on_if_all_fail (the transfer is then
// tried without the claim).
int claim_interface_with_retries(plat::usb_device_handle* h, int iface, int retries,
                                 bool go_on_if_all_fail);

// 0 sent; 1 no handle, data that does not fit one raw report (nothing is
// sent), or the transfer failed. The interface is released afterwards.
int send_raw_report(plat::usb_device_handle* h, int iface, uint8_t ep_out, const uint8_t* cdb,
                    int cdb_len, const uint8_t* data, long len, unsigned timeout_ms);

// Reads one raw answer from `ep_in` (address without bit 7) and checks it:
// a raw_result (hid_frame.h). `buf` null or `len` null: read and discard.
// The interface is claimed for the read and released afterwards.
int receive_raw_report(plat::usb_device_handle* h, int iface, uint8_t ep_in, uint8_t* buf,
                       long* len, unsigned timeout_ms);

}  // namespace hid
}  // namespace rx
