#include "commands/sm4.h"

#include <openssl/evp.h>

#include <memory>

namespace vtok {

bool sm4_ecb(bool encrypt, const uint8_t key[16], const uint8_t* in, size_t n, uint8_t* out) {
  if (n % sm4_block != 0 || n > static_cast<size_t>(INT32_MAX)) return false;
  std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> cipher(
      EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr), EVP_CIPHER_free);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  if (!cipher || !ctx) return false;
  if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), key, nullptr, encrypt ? 1 : 0, nullptr) != 1)
    return false;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int done = 0, tail = 0;
  if (n && EVP_CipherUpdate(ctx.get(), out, &done, in, static_cast<int>(n)) != 1) return false;
  if (EVP_CipherFinal_ex(ctx.get(), out + done, &tail) != 1) return false;
  return static_cast<size_t>(done + tail) == n;
}

}  // namespace vtok
