// SM4 in ECB mode without padding (OpenSSL's "SM4-ECB").
#pragma once

#include <cstddef>
#include <cstdint>

namespace vtok {

constexpr size_t sm4_block = 16;

// n must be a multiple of 16; `out` may equal `in`. False when the cipher
// is unavailable or n is not a whole number of blocks.
bool sm4_ecb(bool encrypt, const uint8_t key[16], const uint8_t* in, size_t n, uint8_t* out);

}  // namespace vtok
