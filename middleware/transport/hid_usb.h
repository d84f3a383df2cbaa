// Shared USB helpers of the HID transports (interrupt and control channel): the
// process-wide libusb contexts, the insert flag, device classification and
// path naming. Everything goes through rx::plat::get().
#pragma once

#include <cstdint>
#include <vector>

#include "transport/platform.h"

namespace rx {
namespace hid {

// The insert flag: raised by discovery when the number of matching
// HID devices changes; lowered by the next HID transfer of any device, which
// then runs with the 3000 ms short timeout.
int& insert_flag();

// The enumeration context (discovery). Created lazily with the backend in
// use; a context made by a backend other than the current one is abandoned
// and a new one is made. Null when usb_init fails (*err gets its result).
plat::usb_context* enum_context(int* err = nullptr);

// libusb_init_context(): the I/O context (opening devices), created lazily
// under a mutex; -1 when usb_init fails, else 0 and the context.
int init_io_context(plat::usb_context** ctx);
// libusb_exit_context(): ends the I/O context under the same mutex.
void exit_io_context();

// Ends both contexts with the backend that made them (when it is the current
// backend; otherwise forgets them). Tests call this (through
// rx::transport::reset_state) before they uninstall a backend.
void release_contexts();

// communicate_with_ctr_report: the active configuration (or configuration 0)
// has exactly two interface alternate settings of class HID or mass storage.
bool is_ctr_layout(plat::backend& be, plat::usb_device* dev);

// The address field of the path of list[index]: the bus device address, or
// (bus << 8) | address when another device of the list has the same vendor
// id, product id and address (on another bus) and the two paths would
// collide. Discovery and find_device both name devices this way.
int path_address(plat::backend& be, const std::vector<plat::usb_device_ref>& list, size_t index);

// Formats "hid_vid_%04x&pid_%04x&addr_%04x" (or the "hidctr_" form).
void format_path(char* out, size_t size, bool ctr, uint16_t vid, uint16_t pid, int addr_field);

}  // namespace hid
}  // namespace rx
