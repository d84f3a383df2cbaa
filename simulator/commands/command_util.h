// Small helpers shared by the command handlers: big-endian fields, padded
// texts and the checks every "get" command makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "card_os.h"

namespace vtok {
namespace cmdutil {

inline void put_be16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
  v.at(at) = static_cast<uint8_t>(x >> 8);
  v.at(at + 1) = static_cast<uint8_t>(x & 0xFF);
}

inline void put_be32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  put_be16(v, at, static_cast<uint16_t>(x >> 16));
  put_be16(v, at + 2, static_cast<uint16_t>(x & 0xFFFF));
}

inline void put_le32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (size_t i = 0; i < 4; ++i) v.at(at + i) = static_cast<uint8_t>(x >> (8 * i));
}

inline uint32_t get_be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// Copies a text into a zero-padded field of `size` bytes (cut when longer).
inline void put_text(std::vector<uint8_t>& v, size_t at, size_t size, const std::string& s) {
  const size_t n = s.size() < size ? s.size() : size;
  for (size_t i = 0; i < n; ++i) v.at(at + i) = static_cast<uint8_t>(s[i]);
}

// A text sent with optional zero padding: the bytes before the first zero
// byte, provided everything after it is zero too. False for a text with an
// embedded zero byte or longer than `max`.
bool padded_text(const uint8_t* p, size_t n, size_t max, std::string* out);

// A command that takes no data and answers `answer_size` bytes: case 1 or
// 2 (no data), and an Le, when present, no smaller than the answer.
bool get_command_ok(const command& cmd, size_t answer_size);

}  // namespace cmdutil
}  // namespace vtok
