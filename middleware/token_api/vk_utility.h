// Byte and string helpers of the token API. Everything is static.
#pragma once

#include <cstddef>
#include <cstdint>

class vk_utility {
 public:
  // Longest text split_strings looks at, entry size and entry count.
  static constexpr size_t k_split_text_max = 4096;
  static constexpr size_t k_split_entry_size = 256;
  static constexpr int k_split_entries_max = 32;
  typedef char split_entry[k_split_entry_size];

  // Reverses the buffer in place; lengths below 2 leave it unchanged.
  static void reverse_bytes(unsigned char* buffer, size_t length);
  static uint16_t reverse_word(uint16_t value);
  static uint32_t reverse_dword(uint32_t value);
  // Stores the value big-endian into 2 / 4 bytes.
  static void fill_buff_with_word_value_be(uint16_t value, unsigned char* out);
  static void fill_buff_with_dword_value_be(uint32_t value, unsigned char* out);

  // Remove leading, trailing or both spaces and tabs, in place. Null is
  // ignored. Return the text.
  static char* ltrim(char* text);
  static char* rtrim(char* text);
  static char* trim(char* text);

  // Widens each byte of the text to a 16-bit unit (host order) without a
  // terminator. *size on entry: the capacity in bytes; it must be at least
  // twice the text length plus 2, else 1 and nothing is written. On success
  // *size = twice the text length, 0.
  static int ascii_to_unicode(const char* text, unsigned char* out, uint32_t* size);

  // Splits (a copy of) at most the first 4096 characters of the text at any
  // of the delimiter characters. Runs of delimiters count as one and empty
  // pieces vanish. Each piece goes, cut to 255 characters and terminated,
  // into the next entry of `table`, which must have k_split_entries_max
  // entries; pieces after the 32nd are dropped. The number of entries, or -1
  // when there is none (or an argument is null).
  static int split_strings(const char* delimiters, const char* text, split_entry* table);
};
