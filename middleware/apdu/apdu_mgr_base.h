// The base of every command builder.
#pragma once

#include "apdu/apdu.h"

class apdu_mgr_base {
 public:
  apdu_mgr_base() = default;
  virtual ~apdu_mgr_base() = default;

  // head.clone() with `chunk` (len bytes) as data: one continuation APDU of
  // a chained command. The caller owns the record.
  apdu* create_apdu_transmit_more_data(const apdu& head, const unsigned char* chunk, int len);

  // SM4-ECB (no padding) under the 16-byte `key` of: the length as 2 bytes
  // little-endian, the data, 0x80, zero bytes up to a total of
  // ((len + 2) rounded down to a multiple of 16) + 16 bytes. Returns a block
  // from malloc (the caller frees it with free()) and its size in *out_len;
  // null on a bad argument (len outside 0..65535) or a cipher failure.
  unsigned char* sm_encrypt(const unsigned char* key, const unsigned char* data, int len,
                            int* out_len);
};
