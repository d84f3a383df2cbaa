// The virtual token's state, split in two:
//  - persistent_state survives unplugging; the host side saves it (JSON)
//    after every command that changes it;
//  - volatile_state is lost on unplug or reset (security status, the last
//    challenge, a command chain in progress, session keys, device
//    authentication).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace vtok {

// What the vendor pass-through (raw) commands configure. The token keeps
// the values; the USB identity of a plugged token does not change with them.
struct vendor_settings {
  bool usb_ids_set = false;  // FC 01 was received
  uint16_t usb_vid = 0, usb_pid = 0;
  std::vector<uint8_t> inquiry;           // FC 02
  std::vector<uint8_t> ble_name;          // FC 04 (without the flag byte)
  uint8_t ble_name_flag = 0;              // FC 04, last byte
  std::vector<uint8_t> ble_auth_code;     // FC 05
  std::vector<uint8_t> ble_logo;          // FC 06
  std::vector<uint8_t> usb_name;          // FC 07
  std::vector<uint8_t> atr;               // FC 08
  std::vector<uint8_t> display_template;  // FC 10
  std::vector<uint8_t> usb_vendor;        // FC 41
  uint8_t ble_sleep = 0;                  // F8 FF value
  bool cd_disabled = false;               // F8 CC BB
  bool cd_writable = false;               // F3 30 F2 / F3 30 00
};

struct persistent_state {
  static constexpr int current_version = 2;
  static constexpr size_t oem_size = 512;
  static constexpr uint8_t oem_default_byte = 0xFF;
  static constexpr size_t dev_auth_key_size = 16;
  static constexpr uint8_t dev_auth_max_retries = 15;
  static constexpr size_t label_max = 32;
  static constexpr size_t serial_number_max = 32;
  static constexpr size_t text_field_max = 64;  // manufacturer, issuer
  static constexpr size_t raw_hwsn_max = 64;
  static constexpr uint16_t min_command_data = 128;
  using key_bytes = std::array<uint8_t, dev_auth_key_size>;

  persistent_state();
  ~persistent_state();  // wipes the device-authentication key
  persistent_state(const persistent_state&) = default;
  persistent_state(persistent_state&&) = default;
  persistent_state& operator=(const persistent_state&) = default;
  persistent_state& operator=(persistent_state&&) = default;

  int version = current_version;
  // The token's identity on the bus (fixed for the token's life).
  std::string serial;

  // Device information record.
  std::string serial_number;  // empty: the identity serial, cut to 32 bytes
  std::string label = "RX7100 virtual token";
  std::string manufacturer = "RX7100";
  std::string issuer = "RX7100";
  uint16_t struct_version = 0x0100;    // major, minor
  uint16_t hardware_version = 0x0200;  // major, minor
  uint16_t firmware_version = 0x0100;
  uint32_t alg_sym_cap = 0x0000051F;   // SM1 and SM4: ECB, CBC, CFB, OFB, MAC
  uint32_t alg_asym_cap = 0x00030700;  // RSA, SM2 sign/exchange/encrypt
  uint32_t alg_hash_cap = 0x00000007;  // SM3, SHA-1, SHA-256
  uint32_t dev_auth_alg_id = 0x00000401;  // SM4-ECB
  uint32_t fs_capacity = 0x00020000;
  uint32_t total_space = 0x00020000;
  uint32_t free_space = 0x00020000;
  uint16_t max_command_data = 1056;  // L
  uint16_t feature_word = 1;         // bit 1: fingerprint sensor
  uint16_t capability_word = 2;

  // Device authentication.
  key_bytes dev_auth_key{};  // "5093817246059381" by default
  uint8_t dev_auth_retries = dev_auth_max_retries;

  // Factory data.
  std::vector<uint8_t> oem_data = std::vector<uint8_t>(oem_size, oem_default_byte);
  uint8_t device_status = 1;     // 1 formatted, 0 blank
  std::vector<uint8_t> raw_hwsn;  // empty: the identity serial's bytes
  bool cos_locked = false;
  // P1 and the two single bytes of the last Format, kept as given.
  uint8_t format_param = 0, format_byte1 = 0, format_byte2 = 0;

  vendor_settings vendor;

  // The serial number the device information reports.
  std::string device_serial_number() const;
  // The raw hardware serial number GetRawHWSN answers.
  std::vector<uint8_t> hardware_serial() const;
  // Forgets every application, container and file of the card file system
  // (a format). Stores added to this state for them must be cleared here.
  void clear_card_file_system();

  nlohmann::json to_json() const;
  // Replaces *this with the state in `j`; false (and *this untouched) when
  // the document is malformed or of an unknown version. Documents of
  // version 1 load with defaults for the fields added since.
  bool from_json(const nlohmann::json& j, std::string* error = nullptr);
};

struct volatile_state {
  // Security status per application id (bit set per verified PIN type).
  std::map<uint16_t, uint32_t> security;
  // The random value the token issued last (empty: none).
  std::vector<uint8_t> last_challenge;
  // Command chain in progress.
  bool chain_active = false;
  uint8_t chain_cla = 0, chain_ins = 0, chain_p1 = 0, chain_p2 = 0;
  std::vector<uint8_t> chain_data;
  // Session keys by handle.
  std::map<uint32_t, std::vector<uint8_t>> session_keys;
  // DevAuth succeeded since the last power cycle.
  bool device_authenticated = false;
  // LED values by selector, the display's last text, the last button.
  std::map<uint8_t, uint32_t> leds;
  std::vector<uint8_t> lcd_text;
  uint8_t last_key = 0;
  // BackToBootloader was accepted (the virtual token keeps running).
  bool bootloader_requested = false;

  void wipe();  // clears and overwrites secrets
};

}  // namespace vtok
