// Builders of the device and authentication commands.
#include <cstring>

#include "apdu/apdu_dev_manager.h"

namespace {

constexpr int kMaxLc = 65535;

bool data_ok(const unsigned char* data, int len) {
  return len > 0 && len <= kMaxLc && data != nullptr;
}

bool byte_ok(int v) { return v >= 0 && v <= 0xFF; }

apdu* with_data(apdu* a, const unsigned char* data, int len) {
  a->set_lc_data(data, len);
  return a;
}

// A text sent without its terminator; empty or longer than one APDU can
// carry: no record.
apdu* with_text(int p1, const char* text, const char* name) {
  if (!text) return nullptr;
  const size_t n = strnlen(text, kMaxLc + 1);
  if (n == 0 || n > static_cast<size_t>(kMaxLc)) return nullptr;
  return with_data(new apdu(APDU_CASE_3E, 0x80, 0x02, p1, 0x00, name),
                   reinterpret_cast<const unsigned char*>(text), static_cast<int>(n));
}

}  // namespace

apdu* apdu_dev_manager::create_apdu_get_dev_info() {
  return new apdu(APDU_CASE_2E, 0x80, 0x04, 0x00, 0x00, "GetDevInfo");
}

apdu* apdu_dev_manager::create_apdu_get_short_dev_info() {
  return new apdu(APDU_CASE_2E, 0x80, 0x04, 0x01, 0x00, "GetShortDevInfo");
}

apdu* apdu_dev_manager::create_apdu_set_label(const char* label) {
  return with_text(0x00, label, "SetLabel");
}

apdu* apdu_dev_manager::create_apdu_set_serial_number(const char* serial) {
  return with_text(0x01, serial, "SetSerialNumber");
}

apdu* apdu_dev_manager::create_apdu_led_control(int selector, uint32_t value) {
  if (!byte_ok(selector)) return nullptr;
  const unsigned char v[4] = {static_cast<unsigned char>(value >> 24),
                              static_cast<unsigned char>(value >> 16),
                              static_cast<unsigned char>(value >> 8),
                              static_cast<unsigned char>(value)};
  return with_data(new apdu(APDU_CASE_3E, 0xC0, 0x40, 0x00, selector, "LedControl"), v, 4);
}

apdu* apdu_dev_manager::create_apdu_dev_auth(int key_id, const unsigned char* data, int len) {
  if (!byte_ok(key_id) || !data_ok(data, len)) return nullptr;
  return with_data(new apdu(APDU_CASE_3E, 0x80, 0x10, 0x00, key_id, "DevAuth"), data, len);
}

apdu* apdu_dev_manager::create_apdu_change_dev_auth_key(int key_id, const unsigned char* data,
                                                        int len) {
  if (!byte_ok(key_id) || !data_ok(data, len)) return nullptr;
  return with_data(new apdu(APDU_CASE_3E, 0x84, 0x12, 0x00, key_id, "ChangeDevAuthKey"), data,
                   len);
}

apdu* apdu_dev_manager::create_apdu_change_dev_auth_key_ex(const unsigned char* data, int len) {
  if (!data_ok(data, len)) return nullptr;
  return with_data(new apdu(APDU_CASE_3E, 0xC0, 0x36, 0x00, 0x00, "ChangeDevAuthKeyEx"), data,
                   len);
}
