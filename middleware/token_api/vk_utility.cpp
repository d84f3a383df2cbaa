#include "token_api/vk_utility.h"

#include <cstring>
#include <string>

void vk_utility::reverse_bytes(unsigned char* buffer, size_t length) {
  if (!buffer || length < 2) return;
  for (size_t i = 0, j = length - 1; i < j; ++i, --j) {
    const unsigned char t = buffer[i];
    buffer[i] = buffer[j];
    buffer[j] = t;
  }
}

uint16_t vk_utility::reverse_word(uint16_t value) {
  return static_cast<uint16_t>((value >> 8) | (value << 8));
}

uint32_t vk_utility::reverse_dword(uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) | (value << 24);
}

void vk_utility::fill_buff_with_word_value_be(uint16_t value, unsigned char* out) {
  if (!out) return;
  out[0] = static_cast<unsigned char>(value >> 8);
  out[1] = static_cast<unsigned char>(value);
}

void vk_utility::fill_buff_with_dword_value_be(uint32_t value, unsigned char* out) {
  if (!out) return;
  out[0] = static_cast<unsigned char>(value >> 24);
  out[1] = static_cast<unsigned char>(value >> 16);
  out[2] = static_cast<unsigned char>(value >> 8);
  out[3] = static_cast<unsigned char>(value);
}

namespace {
bool blank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

char* vk_utility::ltrim(char* text) {
  if (!text) return text;
  size_t i = 0;
  while (blank(text[i])) ++i;
  if (i) std::memmove(text, text + i, std::strlen(text + i) + 1);
  return text;
}

char* vk_utility::rtrim(char* text) {
  if (!text) return text;
  size_t n = std::strlen(text);
  while (n > 0 && blank(text[n - 1])) text[--n] = '\0';
  return text;
}

char* vk_utility::trim(char* text) { return ltrim(rtrim(text)); }

int vk_utility::ascii_to_unicode(const char* text, unsigned char* out, uint32_t* size) {
  if (!text || !out || !size) return 1;
  const size_t n = std::strlen(text);
  const uint64_t needed = static_cast<uint64_t>(n) * 2 + 2;
  if (static_cast<uint64_t>(*size) < needed) return 1;
  for (size_t i = 0; i < n; ++i) {
    const uint16_t unit = static_cast<unsigned char>(text[i]);
    std::memcpy(out + 2 * i, &unit, 2);
  }
  *size = static_cast<uint32_t>(n * 2);
  return 0;
}

int vk_utility::split_strings(const char* delimiters, const char* text, split_entry* table) {
  if (!delimiters || !text || !table) return -1;
  std::string work(text, strnlen(text, k_split_text_max));
  int count = 0;
  char* save = nullptr;
  for (char* tok = strtok_r(&work[0], delimiters, &save); tok && count < k_split_entries_max;
       tok = strtok_r(nullptr, delimiters, &save)) {
    const size_t len = strnlen(tok, k_split_entry_size - 1);
    std::memcpy(table[count], tok, len);
    table[count][len] = '\0';
    ++count;
  }
  return count > 0 ? count : -1;
}
