// The token's device information record (288 bytes, numbers big-endian
// unless noted) and its conversion into the interface's DEVINFO.
#pragma once

#include <cstddef>
#include <cstdint>

#include "skf_types.h"

namespace rx {
namespace skf {

constexpr size_t k_cos_devinfo_size = 288;
constexpr size_t k_short_devinfo_size = 68;

// Offsets in the 288-byte record.
namespace cos_devinfo {
constexpr size_t version = 0;
constexpr size_t manufacturer = 4;
constexpr size_t issuer = 68;
constexpr size_t label = 132;
constexpr size_t serial = 164;
constexpr size_t hw_version = 196;
constexpr size_t fw_version = 198;
constexpr size_t alg_sym = 200;   // the four capability words are copied
constexpr size_t alg_asym = 204;  // byte for byte (host order)
constexpr size_t alg_hash = 208;
constexpr size_t dev_auth_alg = 212;
constexpr size_t total_space = 216;
constexpr size_t free_space = 220;
constexpr size_t max_command_len = 224;
constexpr size_t feature_word = 226;
constexpr size_t capability_word = 228;
}  // namespace cos_devinfo

// Offsets in the 68-byte short record.
namespace short_devinfo {
constexpr size_t label = 0;
constexpr size_t serial = 32;
constexpr size_t text_size = 32;
}  // namespace short_devinfo

// Feature word bit: the token has a fingerprint sensor.
constexpr uint16_t k_feature_fingerprint = 0x0002;
// OR-ed into AlgHashCap by SKF_GetDevInfo for tokens with that sensor.
constexpr ULONG k_fingerprint_hash_caps = 0x80080000u;

uint16_t read_be16(const unsigned char* p);
uint32_t read_be32(const unsigned char* p);

// Fills `out` (Reserved zero). MaxBufferSize = L - 32 and MaxECCBufferSize
// = L - 101, where L is the maximum command data length; both are 0 when L
// is too small for them rather than wrapping around.
void cosDevinfo2Devinfo(const unsigned char cos[k_cos_devinfo_size], DEVINFO* out);

inline uint16_t cos_max_command_len(const unsigned char* cos) {
  return read_be16(cos + cos_devinfo::max_command_len);
}
inline uint16_t cos_feature_word(const unsigned char* cos) {
  return read_be16(cos + cos_devinfo::feature_word);
}
inline uint16_t cos_capability_word(const unsigned char* cos) {
  return read_be16(cos + cos_devinfo::capability_word);
}
inline uint8_t cos_hw_major(const unsigned char* cos) { return cos[cos_devinfo::hw_version]; }

// The host's maximum transmit length for a token whose maximum command data
// length is `max_command_len`: that length minus the 32 bytes of command
// overhead, when the result lies within [k_min_transmit_len,
// k_max_transmit_len]; otherwise k_max_transmit_len (a frame never carries
// more, and a tiny or missing value would make every chained command fail).
constexpr uint32_t k_max_transmit_len = 1024;
constexpr uint32_t k_min_transmit_len = 16;
uint32_t transmit_len_for(uint32_t max_command_len);

}  // namespace skf
}  // namespace rx
