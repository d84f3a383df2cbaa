// Builders of the factory and maintenance commands (CLA C0).
#include "apdu/apdu_factory_manager.h"

#include <cstring>

namespace {

constexpr unsigned char kFactoryCla = 0xC0;
constexpr char kFactoryMagic[] = "yFRPElce";
constexpr int kMagicLen = 8;
constexpr int kMaxLc = 65535;

bool data_ok(const unsigned char* data, int len) {
  return len > 0 && len <= kMaxLc && data != nullptr;
}

bool u16_ok(int v) { return v >= 0 && v <= 0xFFFF; }

apdu* with_data(apdu* a, const unsigned char* data, int len) {
  a->set_lc_data(data, len);
  return a;
}

}  // namespace

apdu* apdu_factory_manager::create_apdu_format(const unsigned char* devinfo,
                                               const unsigned char* extra, int p1,
                                               unsigned char b1, unsigned char b2) {
  if (!devinfo || !extra || p1 < 0 || p1 > 0xFF) return nullptr;
  unsigned char d[kFormatDataLen];
  unsigned char* p = d;
  std::memcpy(p, kFactoryMagic, kMagicLen);
  p += kMagicLen;
  std::memcpy(p, devinfo, kFormatDevInfoLen);
  p += kFormatDevInfoLen;
  std::memcpy(p, extra, kFormatExtraLen);
  p += kFormatExtraLen;
  *p++ = b1;
  *p++ = b2;
  return with_data(new apdu(APDU_CASE_3E, kFactoryCla, 0x00, p1, 0x00, "Format"), d,
                   kFormatDataLen);
}

apdu* apdu_factory_manager::create_apdu_get_fs_max_cap() {
  apdu* a = new apdu(APDU_CASE_2E, kFactoryCla, 0x02, 0x00, 0x00, "GetFSMaxCap");
  a->set_le(4);
  return a;
}

apdu* apdu_factory_manager::create_apdu_get_raw_hwsn() {
  return new apdu(APDU_CASE_2E, kFactoryCla, 0x04, 0x00, 0x00, "GetRawHWSN");
}

apdu* apdu_factory_manager::create_apdu_back_to_bootloader() {
  return with_data(new apdu(APDU_CASE_3E, kFactoryCla, 0x06, 0x00, 0x00, "BackToBootloader"),
                   reinterpret_cast<const unsigned char*>(kFactoryMagic), kMagicLen);
}

apdu* apdu_factory_manager::create_apdu_get_dev_status() {
  return new apdu(APDU_CASE_2E, kFactoryCla, 0x08, 0x00, 0x00, "GetDevStatus");
}

apdu* apdu_factory_manager::create_apdu_read_oem_info(int offset, int len) {
  if (!u16_ok(offset) || len <= 0 || len > 0xFFFF) return nullptr;
  apdu* a = new apdu(APDU_CASE_2E, kFactoryCla, 0x0A, offset >> 8, offset & 0xFF, "ReadOemInfo");
  a->set_le(len);
  return a;
}

apdu* apdu_factory_manager::create_apdu_write_oem_info(int offset, const unsigned char* data,
                                                       int len) {
  if (!u16_ok(offset) || !data_ok(data, len)) return nullptr;
  return with_data(
      new apdu(APDU_CASE_3E, kFactoryCla, 0x0C, offset >> 8, offset & 0xFF, "WriteOemInfo"), data,
      len);
}

apdu* apdu_factory_manager::create_apdu_lock_cos(const unsigned char* data, int len) {
  if (!data_ok(data, len)) return nullptr;
  return with_data(new apdu(APDU_CASE_3E, kFactoryCla, 0x0E, 0x00, 0x00, "LockCos"), data, len);
}
