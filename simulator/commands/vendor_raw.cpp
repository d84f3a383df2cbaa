// Vendor pass-through (raw) commands, identified by bytes 0-2 of the
// 16-byte command block (bytes 3-15 are not examined):
//
//   FC 01 AA  USB vid and pid: 4 bytes, each 16-bit little-endian
//   FC 02 AA  inquiry data, 1..256 bytes
//   FC 04 AA  BLE broadcast name: 0..16 name bytes, then 1 flag byte
//   FC 05 AA  BLE pairing code, exactly 32 bytes
//   FC 06 AA  BLE logo, 1..2048 bytes
//   FC 07 AA  USB name, 1..128 bytes
//   FC 08 AA  ATR, 1..128 bytes
//   FC 10 AA  display template, 1..2048 bytes
//   FC 12 AA  display text, 1..2048 bytes (shown until the next power cycle)
//   FC 41 AA  USB vendor text, 1..32 bytes
//   F8 CC BB  disable the CD-ROM partition, no data
//   F8 FF vv  BLE sleep switch = vv, no data
//   F3 30 F2  CD-ROM partition writable; F3 30 00 read-only (others 6A80)
//
// These configuration commands are acknowledged with two bytes, a status
// word: 90 00 done, 67 00 a data length out of bounds or not all the
// declared data arrived (nothing changed), 6A 80 a bad parameter.
//
// Commands with an answer (the answer is the data alone, no status word):
//   FC 11 AA  the display template (empty when none was set)
//   FC 13 AA  1 byte: the last button pressed (0: none)
//   FD 01 AA  16 bytes: the BLE broadcast name, zero padded
//   F3 40 F2  1 byte: F2 when the CD-ROM partition is writable, else 00
//
// Any other block (including a known bytes 0-1 with another byte 2 where
// byte 2 is fixed) is no command and gets no answer.
#include <algorithm>
#include <functional>

#include "card_os.h"
#include "commands/commands.h"

namespace vtok {

namespace {

using bytes = std::vector<uint8_t>;

bytes ack(uint16_t status) {
  return {static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status & 0xFF)};
}

// A configuration command whose data is stored by `apply`.
raw_handler_fn configure(uint8_t magic, size_t min, size_t max,
                         std::function<void(vendor_settings&, const bytes&)> apply) {
  return [=](card_os& os, const raw_command& c) -> raw_answer {
    if (c.block[2] != magic) return std::nullopt;
    if (!c.complete() || c.data.size() < min || c.data.size() > max) return ack(sw::wrong_length);
    apply(os.persistent().vendor, c.data);
    os.mark_persistent_changed();
    return ack(sw::ok);
  };
}

raw_handler_fn store_in(bytes vendor_settings::*field, size_t min, size_t max) {
  return configure(0xAA, min, max, [field](vendor_settings& v, const bytes& d) { v.*field = d; });
}

raw_answer set_vid_pid(card_os& os, const raw_command& c) {
  if (c.block[2] != 0xAA) return std::nullopt;
  if (!c.complete() || c.data.size() != 4) return ack(sw::wrong_length);
  vendor_settings& v = os.persistent().vendor;
  v.usb_vid = static_cast<uint16_t>(c.data[0] | (c.data[1] << 8));
  v.usb_pid = static_cast<uint16_t>(c.data[2] | (c.data[3] << 8));
  v.usb_ids_set = true;
  os.mark_persistent_changed();
  return ack(sw::ok);
}

raw_answer set_ble_name(card_os& os, const raw_command& c) {
  if (c.block[2] != 0xAA) return std::nullopt;
  if (!c.complete() || c.data.empty() || c.data.size() > 17) return ack(sw::wrong_length);
  vendor_settings& v = os.persistent().vendor;
  v.ble_name.assign(c.data.begin(), c.data.end() - 1);
  v.ble_name_flag = c.data.back();
  os.mark_persistent_changed();
  return ack(sw::ok);
}

raw_answer show_lcd(card_os& os, const raw_command& c) {
  if (c.block[2] != 0xAA) return std::nullopt;
  if (!c.complete() || c.data.empty() || c.data.size() > 2048) return ack(sw::wrong_length);
  os.volatiles().lcd_text = c.data;
  return ack(sw::ok);
}

raw_answer get_template(card_os& os, const raw_command& c) {
  if (c.block[2] != 0xAA) return std::nullopt;
  return os.persistent().vendor.display_template;
}

raw_answer get_last_key(card_os& os, const raw_command& c) {
  if (c.block[2] != 0xAA) return std::nullopt;
  return bytes{os.volatiles().last_key};
}

raw_answer get_ble_name(card_os& os, const raw_command& c) {
  if (c.block[2] != 0xAA) return std::nullopt;
  bytes name(16, 0);
  const bytes& n = os.persistent().vendor.ble_name;
  std::copy(n.begin(), n.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(n.size(), 16)),
            name.begin());
  return name;
}

raw_answer disable_cd(card_os& os, const raw_command& c) {
  if (c.block[2] != 0xBB) return std::nullopt;
  os.persistent().vendor.cd_disabled = true;
  os.mark_persistent_changed();
  return ack(sw::ok);
}

raw_answer ble_sleep(card_os& os, const raw_command& c) {
  os.persistent().vendor.ble_sleep = c.block[2];
  os.mark_persistent_changed();
  return ack(sw::ok);
}

raw_answer get_rw_cd(card_os& os, const raw_command& c) {
  if (c.block[2] != 0xF2) return std::nullopt;
  return bytes{static_cast<uint8_t>(os.persistent().vendor.cd_writable ? 0xF2 : 0x00)};
}

raw_answer set_rw_cd(card_os& os, const raw_command& c) {
  if (c.block[2] != 0xF2 && c.block[2] != 0x00) return ack(sw::wrong_data);
  os.persistent().vendor.cd_writable = c.block[2] == 0xF2;
  os.mark_persistent_changed();
  return ack(sw::ok);
}

}  // namespace

void register_vendor_raw_commands(card_os& os) {
  os.register_raw_handler(0xFC, 0x01, set_vid_pid);
  os.register_raw_handler(0xFC, 0x02, store_in(&vendor_settings::inquiry, 1, 256));
  os.register_raw_handler(0xFC, 0x04, set_ble_name);
  os.register_raw_handler(0xFC, 0x05, store_in(&vendor_settings::ble_auth_code, 32, 32));
  os.register_raw_handler(0xFC, 0x06, store_in(&vendor_settings::ble_logo, 1, 2048));
  os.register_raw_handler(0xFC, 0x07, store_in(&vendor_settings::usb_name, 1, 128));
  os.register_raw_handler(0xFC, 0x08, store_in(&vendor_settings::atr, 1, 128));
  os.register_raw_handler(0xFC, 0x10, store_in(&vendor_settings::display_template, 1, 2048));
  os.register_raw_handler(0xFC, 0x11, get_template);
  os.register_raw_handler(0xFC, 0x12, show_lcd);
  os.register_raw_handler(0xFC, 0x13, get_last_key);
  os.register_raw_handler(0xFC, 0x41, store_in(&vendor_settings::usb_vendor, 1, 32));
  os.register_raw_handler(0xFD, 0x01, get_ble_name);
  os.register_raw_handler(0xF8, 0xCC, disable_cd);
  os.register_raw_handler(0xF8, 0xFF, ble_sleep);
  os.register_raw_handler(0xF3, 0x40, get_rw_cd);
  os.register_raw_handler(0xF3, 0x30, set_rw_cd);
}

}  // namespace vtok
