#include "token_state.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace vtok {

namespace {

using nlohmann::json;

constexpr char default_dev_auth_key[] = "5093817246059381";

std::string to_hex(const std::vector<uint8_t>& v) {
  if (v.empty()) return {};
  std::string s(v.size() * 2 + 1, '\0');
  size_t n = 0;
  if (OPENSSL_buf2hexstr_ex(&s[0], s.size(), &n, v.data(), v.size(), '\0') != 1)
    throw std::runtime_error("hex encoding failed");
  s.resize(n ? n - 1 : 0);  // n counts the terminator
  return s;
}

std::vector<uint8_t> from_hex(const std::string& s, size_t max) {
  if (s.empty()) return {};
  if (s.size() % 2 != 0 || s.size() / 2 > max) throw std::invalid_argument("bad hex field");
  std::vector<uint8_t> v(s.size() / 2);
  size_t n = 0;
  if (OPENSSL_hexstr2buf_ex(v.data(), v.size(), &n, s.c_str(), '\0') != 1 || n != v.size())
    throw std::invalid_argument("bad hex field");
  return v;
}

// Text fields are JSON strings when they are valid UTF-8 and hex under
// "<key>_hex" otherwise (labels may be GB18030).
void put_text(json& j, const std::string& key, const std::string& s) {
  try {
    (void)json(s).dump();
    j[key] = s;
  } catch (const json::type_error&) {
    j[key + "_hex"] = to_hex(std::vector<uint8_t>(s.begin(), s.end()));
  }
}

std::string get_text(const json& j, const std::string& key, const std::string& fallback,
                     size_t max) {
  std::string s = fallback;
  if (j.contains(key + "_hex")) {
    auto v = from_hex(j.at(key + "_hex").get<std::string>(), max);
    s.assign(v.begin(), v.end());
  } else if (j.contains(key)) {
    s = j.at(key).get<std::string>();
  }
  if (s.size() > max) throw std::invalid_argument(key + " longer than " + std::to_string(max) + " bytes");
  return s;
}

template <typename T>
T get_num(const json& j, const char* key, T fallback) {
  if (!j.contains(key)) return fallback;
  const auto v = j.at(key).get<long long>();
  if (v < 0 || static_cast<unsigned long long>(v) > std::numeric_limits<T>::max())
    throw std::invalid_argument(std::string(key) + " out of range");
  return static_cast<T>(v);
}

std::vector<uint8_t> get_bytes(const json& j, const char* key, const std::vector<uint8_t>& fallback,
                               size_t max) {
  if (!j.contains(key)) return fallback;
  return from_hex(j.at(key).get<std::string>(), max);
}

json vendor_to_json(const vendor_settings& v) {
  return json{{"usb_ids_set", v.usb_ids_set},
              {"usb_vid", v.usb_vid},
              {"usb_pid", v.usb_pid},
              {"inquiry", to_hex(v.inquiry)},
              {"ble_name", to_hex(v.ble_name)},
              {"ble_name_flag", v.ble_name_flag},
              {"ble_auth_code", to_hex(v.ble_auth_code)},
              {"ble_logo", to_hex(v.ble_logo)},
              {"usb_name", to_hex(v.usb_name)},
              {"atr", to_hex(v.atr)},
              {"display_template", to_hex(v.display_template)},
              {"usb_vendor", to_hex(v.usb_vendor)},
              {"ble_sleep", v.ble_sleep},
              {"cd_disabled", v.cd_disabled},
              {"cd_writable", v.cd_writable}};
}

// The bounds are those of the raw commands that set the values.
vendor_settings vendor_from_json(const json& j) {
  vendor_settings v;
  if (!j.is_object()) throw std::invalid_argument("vendor settings are not an object");
  v.usb_ids_set = j.value("usb_ids_set", false);
  v.usb_vid = get_num<uint16_t>(j, "usb_vid", 0);
  v.usb_pid = get_num<uint16_t>(j, "usb_pid", 0);
  v.inquiry = get_bytes(j, "inquiry", {}, 256);
  v.ble_name = get_bytes(j, "ble_name", {}, 16);
  v.ble_name_flag = get_num<uint8_t>(j, "ble_name_flag", 0);
  v.ble_auth_code = get_bytes(j, "ble_auth_code", {}, 32);
  v.ble_logo = get_bytes(j, "ble_logo", {}, 2048);
  v.usb_name = get_bytes(j, "usb_name", {}, 128);
  v.atr = get_bytes(j, "atr", {}, 128);
  v.display_template = get_bytes(j, "display_template", {}, 2048);
  v.usb_vendor = get_bytes(j, "usb_vendor", {}, 32);
  v.ble_sleep = get_num<uint8_t>(j, "ble_sleep", 0);
  v.cd_disabled = j.value("cd_disabled", false);
  v.cd_writable = j.value("cd_writable", false);
  return v;
}

}  // namespace

persistent_state::persistent_state() {
  std::copy(default_dev_auth_key, default_dev_auth_key + dev_auth_key_size, dev_auth_key.begin());
}

persistent_state::~persistent_state() { OPENSSL_cleanse(dev_auth_key.data(), dev_auth_key.size()); }

std::string persistent_state::device_serial_number() const {
  if (!serial_number.empty()) return serial_number;
  return serial.substr(0, serial_number_max);
}

std::vector<uint8_t> persistent_state::hardware_serial() const {
  if (!raw_hwsn.empty()) return raw_hwsn;
  return std::vector<uint8_t>(serial.begin(), serial.begin() + std::min(serial.size(), raw_hwsn_max));
}

void persistent_state::clear_card_file_system() {
  // The card file system has no applications or files of its own yet; only
  // the space accounting starts over.
  free_space = total_space;
}

nlohmann::json persistent_state::to_json() const {
  json j{{"version", version},
         {"serial", serial},
         {"firmware_version", firmware_version},
         {"struct_version", struct_version},
         {"hardware_version", hardware_version},
         {"alg_sym_cap", alg_sym_cap},
         {"alg_asym_cap", alg_asym_cap},
         {"alg_hash_cap", alg_hash_cap},
         {"dev_auth_alg_id", dev_auth_alg_id},
         {"fs_capacity", fs_capacity},
         {"total_space", total_space},
         {"free_space", free_space},
         {"max_command_data", max_command_data},
         {"feature_word", feature_word},
         {"capability_word", capability_word},
         {"dev_auth_retries", dev_auth_retries},
         {"oem_data", to_hex(oem_data)},
         {"device_status", device_status},
         {"raw_hwsn", to_hex(raw_hwsn)},
         {"cos_locked", cos_locked},
         {"format_param", format_param},
         {"format_byte1", format_byte1},
         {"format_byte2", format_byte2},
         {"vendor", vendor_to_json(vendor)}};
  std::vector<uint8_t> key(dev_auth_key.begin(), dev_auth_key.end());
  j["dev_auth_key"] = to_hex(key);
  OPENSSL_cleanse(key.data(), key.size());
  put_text(j, "label", label);
  put_text(j, "manufacturer", manufacturer);
  put_text(j, "issuer", issuer);
  put_text(j, "serial_number", serial_number);
  return j;
}

bool persistent_state::from_json(const nlohmann::json& j, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  try {
    if (!j.is_object()) return fail("token state is not a JSON object");
    persistent_state s;
    const int v = j.at("version").get<int>();
    if (v != 1 && v != current_version)
      return fail("unsupported token state version " + std::to_string(v));
    s.serial = j.at("serial").get<std::string>();
    if (s.serial.empty() || s.serial.size() > 64) return fail("bad serial");
    s.firmware_version = get_num<uint16_t>(j, "firmware_version", s.firmware_version);
    if (v == 1) {
      // Version 1 allowed 64-byte labels; the device information holds 32.
      s.label = get_text(j, "label", s.label, 64);
      if (s.label.size() > label_max) s.label.resize(label_max);
      s.manufacturer = get_text(j, "manufacturer", s.manufacturer, text_field_max);
      *this = std::move(s);
      return true;
    }
    s.label = get_text(j, "label", s.label, label_max);
    s.manufacturer = get_text(j, "manufacturer", s.manufacturer, text_field_max);
    s.issuer = get_text(j, "issuer", s.issuer, text_field_max);
    s.serial_number = get_text(j, "serial_number", s.serial_number, serial_number_max);
    s.struct_version = get_num<uint16_t>(j, "struct_version", s.struct_version);
    s.hardware_version = get_num<uint16_t>(j, "hardware_version", s.hardware_version);
    s.alg_sym_cap = get_num<uint32_t>(j, "alg_sym_cap", s.alg_sym_cap);
    s.alg_asym_cap = get_num<uint32_t>(j, "alg_asym_cap", s.alg_asym_cap);
    s.alg_hash_cap = get_num<uint32_t>(j, "alg_hash_cap", s.alg_hash_cap);
    s.dev_auth_alg_id = get_num<uint32_t>(j, "dev_auth_alg_id", s.dev_auth_alg_id);
    s.fs_capacity = get_num<uint32_t>(j, "fs_capacity", s.fs_capacity);
    s.total_space = get_num<uint32_t>(j, "total_space", s.total_space);
    s.free_space = get_num<uint32_t>(j, "free_space", s.free_space);
    if (s.total_space > s.fs_capacity || s.free_space > s.total_space)
      return fail("space fields out of order");
    s.max_command_data = get_num<uint16_t>(j, "max_command_data", s.max_command_data);
    if (s.max_command_data < min_command_data) return fail("max_command_data too small");
    s.feature_word = get_num<uint16_t>(j, "feature_word", s.feature_word);
    s.capability_word = get_num<uint16_t>(j, "capability_word", s.capability_word);
    if (j.contains("dev_auth_key")) {
      std::vector<uint8_t> key = from_hex(j.at("dev_auth_key").get<std::string>(), dev_auth_key_size);
      const bool ok = key.size() == dev_auth_key_size;
      if (ok) std::copy(key.begin(), key.end(), s.dev_auth_key.begin());
      OPENSSL_cleanse(key.data(), key.size());
      if (!ok) return fail("dev_auth_key is not 16 bytes");
    }
    s.dev_auth_retries = get_num<uint8_t>(j, "dev_auth_retries", s.dev_auth_retries);
    if (s.dev_auth_retries > dev_auth_max_retries) return fail("dev_auth_retries above the maximum");
    s.oem_data = get_bytes(j, "oem_data", s.oem_data, oem_size);
    if (s.oem_data.size() != oem_size) return fail("oem_data is not " + std::to_string(oem_size) + " bytes");
    s.device_status = get_num<uint8_t>(j, "device_status", s.device_status);
    s.raw_hwsn = get_bytes(j, "raw_hwsn", {}, raw_hwsn_max);
    s.cos_locked = j.value("cos_locked", false);
    s.format_param = get_num<uint8_t>(j, "format_param", 0);
    s.format_byte1 = get_num<uint8_t>(j, "format_byte1", 0);
    s.format_byte2 = get_num<uint8_t>(j, "format_byte2", 0);
    if (j.contains("vendor")) s.vendor = vendor_from_json(j.at("vendor"));
    *this = std::move(s);
    return true;
  } catch (const std::exception& e) {
    return fail(std::string("malformed token state: ") + e.what());
  }
}

void volatile_state::wipe() {
  security.clear();
  if (!last_challenge.empty()) OPENSSL_cleanse(last_challenge.data(), last_challenge.size());
  last_challenge.clear();
  chain_active = false;
  chain_cla = chain_ins = chain_p1 = chain_p2 = 0;
  if (!chain_data.empty()) OPENSSL_cleanse(chain_data.data(), chain_data.size());
  chain_data.clear();
  for (auto& kv : session_keys)
    if (!kv.second.empty()) OPENSSL_cleanse(kv.second.data(), kv.second.size());
  session_keys.clear();
  device_authenticated = false;
  leds.clear();
  lcd_text.clear();
  last_key = 0;
  bootloader_requested = false;
}

}  // namespace vtok
