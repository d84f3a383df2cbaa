// Factory and maintenance commands (CLA C0):
//   Format            00, P1 = format parameter, P2 00, exactly 330 bytes:
//                     "yFRPElce" | 288-byte device information record |
//                     32 key bytes | two single bytes
//   GetFSMaxCap       02, no data -> 4-byte big-endian file-system capacity
//   GetRawHWSN        04, no data -> the raw hardware serial number
//   BackToBootloader  06, 8..64 bytes: "yFRPElce" then zero bytes
//   GetDevStatus      08, no data -> 1 byte: 1 formatted, 0 blank
//   LockCos           0E, 1..256 bytes of any content
//
// Format takes from the record the manufacturer, issuer, label and serial
// number (each up to its first zero byte; an empty serial keeps the current
// one) and the total space at offset 216 (big-endian; 0 or more than the
// file-system capacity means the capacity). Versions, algorithm
// capabilities, L, the feature and capability words are properties of the
// token and are not taken from the record. The first 16 key bytes become
// the device authentication key (tries restored); P1 and the two single
// bytes are kept as given. The card file system and the security state
// start over, free space = total space, status = formatted. OEM data stays.
//
// A locked card OS refuses SetSerialNumber, WriteOemInfo and
// BackToBootloader with 6985; LockCos cannot be undone.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "card_os.h"
#include "commands/command_util.h"
#include "commands/commands.h"

namespace vtok {

namespace {

using namespace cmdutil;

constexpr char factory_magic[] = "yFRPElce";
constexpr size_t magic_size = 8;
constexpr size_t record_size = 288;
constexpr size_t key_block_size = 32;
constexpr size_t format_data_size = magic_size + record_size + key_block_size + 2;  // 330
constexpr size_t max_bootloader_data = 64;
constexpr size_t max_lock_data = 256;

bool has_magic(const std::vector<uint8_t>& d) {
  return d.size() >= magic_size && std::memcmp(d.data(), factory_magic, magic_size) == 0;
}

// The bytes of a fixed-size field up to its first zero byte.
std::string field_text(const uint8_t* p, size_t size) {
  return std::string(p, std::find(p, p + size, 0));
}

response format(card_os& os, const command& cmd) {
  if (cmd.p2 != 0) return response::status(sw::wrong_p1p2);
  if (cmd.apdu_case != 3 || cmd.data.size() != format_data_size)
    return response::status(sw::wrong_length);
  if (!has_magic(cmd.data)) return response::status(sw::wrong_data);

  const uint8_t* rec = cmd.data.data() + magic_size;
  const uint8_t* key = rec + record_size;
  persistent_state& s = os.persistent();
  s.manufacturer = field_text(rec + 4, 64);
  s.issuer = field_text(rec + 68, 64);
  s.label = field_text(rec + 132, 32);
  std::string serial = field_text(rec + 164, 32);
  if (!serial.empty()) s.serial_number = std::move(serial);
  const uint32_t total = get_be32(rec + 216);
  s.total_space = (total == 0 || total > s.fs_capacity) ? s.fs_capacity : total;
  std::copy(key, key + persistent_state::dev_auth_key_size, s.dev_auth_key.begin());
  s.dev_auth_retries = persistent_state::dev_auth_max_retries;
  s.format_param = cmd.p1;
  s.format_byte1 = key[key_block_size];
  s.format_byte2 = key[key_block_size + 1];
  s.clear_card_file_system();
  s.device_status = 1;
  os.mark_persistent_changed();

  volatile_state& v = os.volatiles();
  v.security.clear();
  for (auto& kv : v.session_keys) OPENSSL_cleanse(kv.second.data(), kv.second.size());
  v.session_keys.clear();
  v.device_authenticated = false;
  return response::status(sw::ok);
}

response answer(const command& cmd, std::vector<uint8_t> data) {
  if (cmd.p1 != 0 || cmd.p2 != 0) return response::status(sw::wrong_p1p2);
  if (!get_command_ok(cmd, data.size())) return response::status(sw::wrong_length);
  response r;
  r.data = std::move(data);
  return r;
}

response get_fs_max_cap(card_os& os, const command& cmd) {
  std::vector<uint8_t> d(4);
  put_be32(d, 0, os.persistent().fs_capacity);
  return answer(cmd, std::move(d));
}

response get_raw_hwsn(card_os& os, const command& cmd) {
  return answer(cmd, os.persistent().hardware_serial());
}

response get_dev_status(card_os& os, const command& cmd) {
  return answer(cmd, {os.persistent().device_status});
}

response back_to_bootloader(card_os& os, const command& cmd) {
  if (cmd.p1 != 0 || cmd.p2 != 0) return response::status(sw::wrong_p1p2);
  if (cmd.apdu_case != 3 || cmd.data.size() < magic_size || cmd.data.size() > max_bootloader_data)
    return response::status(sw::wrong_length);
  if (!has_magic(cmd.data) ||
      std::any_of(cmd.data.begin() + magic_size, cmd.data.end(), [](uint8_t b) { return b != 0; }))
    return response::status(sw::wrong_data);
  if (os.persistent().cos_locked) return response::status(sw::conditions_not_satisfied);
  os.volatiles().bootloader_requested = true;
  return response::status(sw::ok);
}

response lock_cos(card_os& os, const command& cmd) {
  if (cmd.p1 != 0 || cmd.p2 != 0) return response::status(sw::wrong_p1p2);
  if (cmd.apdu_case != 3 || cmd.data.size() > max_lock_data) return response::status(sw::wrong_length);
  if (!os.persistent().cos_locked) {
    os.persistent().cos_locked = true;
    os.mark_persistent_changed();
  }
  return response::status(sw::ok);
}

}  // namespace

void register_factory_commands(card_os& os) {
  os.register_handler(0xC0, 0x00, format);
  os.register_handler(0xC0, 0x02, get_fs_max_cap);
  os.register_handler(0xC0, 0x04, get_raw_hwsn);
  os.register_handler(0xC0, 0x06, back_to_bootloader);
  os.register_handler(0xC0, 0x08, get_dev_status);
  os.register_handler(0xC0, 0x0E, lock_cos);
}

}  // namespace vtok
