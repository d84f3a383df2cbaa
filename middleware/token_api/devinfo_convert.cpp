#include "token_api/devinfo_convert.h"

#include <cstring>

namespace rx {
namespace skf {

uint16_t read_be16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t read_be32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void cosDevinfo2Devinfo(const unsigned char cos[k_cos_devinfo_size], DEVINFO* out) {
  namespace o = cos_devinfo;
  std::memset(out, 0, sizeof *out);
  out->Version.major = cos[o::version];
  out->Version.minor = cos[o::version + 1];
  std::memcpy(out->Manufacturer, cos + o::manufacturer, sizeof out->Manufacturer);
  std::memcpy(out->Issuer, cos + o::issuer, sizeof out->Issuer);
  std::memcpy(out->Label, cos + o::label, sizeof out->Label);
  std::memcpy(out->SerialNumber, cos + o::serial, sizeof out->SerialNumber);
  out->HWVersion.major = cos[o::hw_version];
  out->HWVersion.minor = cos[o::hw_version + 1];
  out->FirmwareVersion.major = cos[o::fw_version];
  out->FirmwareVersion.minor = cos[o::fw_version + 1];
  std::memcpy(&out->AlgSymCap, cos + o::alg_sym, 4);
  std::memcpy(&out->AlgAsymCap, cos + o::alg_asym, 4);
  std::memcpy(&out->AlgHashCap, cos + o::alg_hash, 4);
  std::memcpy(&out->DevAuthAlgId, cos + o::dev_auth_alg, 4);
  out->TotalSpace = read_be32(cos + o::total_space);
  out->FreeSpace = read_be32(cos + o::free_space);
  const uint32_t L = cos_max_command_len(cos);
  out->MaxBufferSize = L > 32 ? L - 32 : 0;
  out->MaxECCBufferSize = L > 101 ? L - 101 : 0;
}

uint32_t transmit_len_for(uint32_t max_command_len) {
  if (max_command_len < 32) return k_max_transmit_len;
  const uint32_t len = max_command_len - 32;
  if (len < k_min_transmit_len || len > k_max_transmit_len) return k_max_transmit_len;
  return len;
}

}  // namespace skf
}  // namespace rx
