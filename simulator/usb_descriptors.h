// Descriptor sets of the virtual USB devices.
#pragma once

#include <cstdint>

#include "transport/platform.h"

namespace vtok {

constexpr uint16_t token_vid = 0x7e3b;
constexpr uint16_t token_default_pid = 0xe618;
constexpr uint16_t storage_token_default_pid = 0xdb08;  // SCSI tokens
constexpr uint8_t hid_in_endpoint = 0x81;
constexpr uint8_t hid_out_endpoint = 0x01;
constexpr uint16_t hid_report_size = 64;
constexpr uint8_t usb_class_hub = 9;

// A plain HID token: one interface, one setting, class 3, interrupt IN 0x81
// and OUT 0x01 of 64 bytes.
rx::plat::usb_config_descriptor hid_token_config();
// A token with an HID interface (as above) and a mass-storage interface
// (bulk IN 0x82, OUT 0x02).
rx::plat::usb_config_descriptor hid_storage_token_config();
// A token seen only as a mass-storage device (reached through sg nodes):
// one interface, class 8, bulk IN 0x82 and OUT 0x02.
rx::plat::usb_config_descriptor storage_token_config();
// A single-interface device of the given class (root hubs, other devices).
rx::plat::usb_config_descriptor single_interface_config(uint8_t interface_class);

rx::plat::usb_device_descriptor make_device_descriptor(uint16_t vid, uint16_t pid,
                                                       uint8_t device_class = 0);

}  // namespace vtok
