// Device information and identity commands:
//   GetDevInfo        80 04 00 00, no data  -> the 288-byte device information record
//   GetShortDevInfo   80 04 01 00, no data  -> the 68-byte short record
//   SetLabel          80 02 00 00, 1..32 bytes of label (zero padding allowed)
//   SetSerialNumber   80 02 01 00, 1..64 bytes: a 1..32-byte serial, zero padded
//   LedControl        C0 40 00 sel, 4-byte big-endian value
//
// Record layout (numbers big-endian unless noted):
//   0 version (major, minor)      2 version again        4 manufacturer (64)
//   68 issuer (64)                132 label (32)         164 serial number (32)
//   196 hardware version          198 firmware version
//   200/204/208/212 symmetric, asymmetric, hash capabilities and device
//       authentication algorithm, little-endian (the host copies them byte
//       for byte into host-order fields)
//   216 total space   220 free space   224 maximum command data length L
//   226 feature word  228 capability word   230..287 zero
// Short record: 0 label (32), 32 serial number (32), 64 hardware version,
// 66 firmware version.
#include "card_os.h"
#include "commands/command_util.h"
#include "commands/commands.h"

namespace vtok {

namespace {

using namespace cmdutil;

constexpr size_t dev_info_size = 288;
constexpr size_t short_info_size = 68;
constexpr size_t max_serial_data = 64;

std::vector<uint8_t> device_info_record(const persistent_state& s) {
  std::vector<uint8_t> r(dev_info_size, 0);
  put_be16(r, 0, s.struct_version);
  put_be16(r, 2, s.struct_version);
  put_text(r, 4, 64, s.manufacturer);
  put_text(r, 68, 64, s.issuer);
  put_text(r, 132, 32, s.label);
  put_text(r, 164, 32, s.device_serial_number());
  put_be16(r, 196, s.hardware_version);
  put_be16(r, 198, s.firmware_version);
  put_le32(r, 200, s.alg_sym_cap);
  put_le32(r, 204, s.alg_asym_cap);
  put_le32(r, 208, s.alg_hash_cap);
  put_le32(r, 212, s.dev_auth_alg_id);
  put_be32(r, 216, s.total_space);
  put_be32(r, 220, s.free_space);
  put_be16(r, 224, s.max_command_data);
  put_be16(r, 226, s.feature_word);
  put_be16(r, 228, s.capability_word);
  return r;
}

std::vector<uint8_t> short_info_record(const persistent_state& s) {
  std::vector<uint8_t> r(short_info_size, 0);
  put_text(r, 0, 32, s.label);
  put_text(r, 32, 32, s.device_serial_number());
  put_be16(r, 64, s.hardware_version);
  put_be16(r, 66, s.firmware_version);
  return r;
}

response get_dev_info(card_os& os, const command& cmd) {
  if (cmd.p2 != 0 || cmd.p1 > 1) return response::status(sw::wrong_p1p2);
  response r;
  r.data = cmd.p1 == 0 ? device_info_record(os.persistent()) : short_info_record(os.persistent());
  if (!get_command_ok(cmd, r.data.size())) return response::status(sw::wrong_length);
  return r;
}

response set_label(card_os& os, const command& cmd) {
  std::string label;
  if (cmd.apdu_case != 3 || cmd.data.size() > persistent_state::label_max)
    return response::status(sw::wrong_length);
  if (!padded_text(cmd.data.data(), cmd.data.size(), persistent_state::label_max, &label))
    return response::status(sw::wrong_data);
  os.persistent().label = std::move(label);
  os.mark_persistent_changed();
  return response::status(sw::ok);
}

response set_serial_number(card_os& os, const command& cmd) {
  std::string serial;
  if (cmd.apdu_case != 3 || cmd.data.size() > max_serial_data)
    return response::status(sw::wrong_length);
  if (!padded_text(cmd.data.data(), cmd.data.size(), persistent_state::serial_number_max, &serial) ||
      serial.empty())
    return response::status(sw::wrong_data);
  if (os.persistent().cos_locked) return response::status(sw::conditions_not_satisfied);
  os.persistent().serial_number = std::move(serial);
  os.mark_persistent_changed();
  return response::status(sw::ok);
}

response set_identity(card_os& os, const command& cmd) {
  if (cmd.p2 != 0 || cmd.p1 > 1) return response::status(sw::wrong_p1p2);
  return cmd.p1 == 0 ? set_label(os, cmd) : set_serial_number(os, cmd);
}

response led_control(card_os& os, const command& cmd) {
  if (cmd.p1 != 0) return response::status(sw::wrong_p1p2);
  if (cmd.apdu_case != 3 || cmd.data.size() != 4) return response::status(sw::wrong_length);
  os.volatiles().leds[cmd.p2] = get_be32(cmd.data.data());
  return response::status(sw::ok);
}

}  // namespace

void register_device_info_commands(card_os& os) {
  os.register_handler(0x80, 0x04, get_dev_info);
  os.register_handler(0x80, 0x02, set_identity);
  os.register_handler(0xC0, 0x40, led_control);
}

}  // namespace vtok
