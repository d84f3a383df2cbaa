#include "apdu/apdu_mgr_base.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>

apdu* apdu_mgr_base::create_apdu_transmit_more_data(const apdu& head, const unsigned char* chunk,
                                                   int len) {
  apdu* a = head.clone();
  a->set_lc_data(chunk, len);
  return a;
}

unsigned char* apdu_mgr_base::sm_encrypt(const unsigned char* key, const unsigned char* data,
                                         int len, int* out_len) {
  if (!key || !out_len || len < 0 || len > 65535 || (len > 0 && !data)) return nullptr;
  const int total = ((len + 2) / 16) * 16 + 16;
  unsigned char* plain = static_cast<unsigned char*>(std::calloc(total, 1));
  unsigned char* out = static_cast<unsigned char*>(std::malloc(total));
  if (!plain || !out) {
    std::free(plain);
    std::free(out);
    return nullptr;
  }
  plain[0] = static_cast<unsigned char>(len & 0xff);
  plain[1] = static_cast<unsigned char>((len >> 8) & 0xff);
  if (len > 0) std::memcpy(plain + 2, data, len);
  plain[2 + len] = 0x80;

  bool ok = false;
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (cipher && ctx && EVP_EncryptInit_ex(ctx, cipher, nullptr, key, nullptr) == 1 &&
      EVP_CIPHER_CTX_set_padding(ctx, 0) == 1) {
    int n1 = 0, n2 = 0;
    if (EVP_EncryptUpdate(ctx, out, &n1, plain, total) == 1 &&
        EVP_EncryptFinal_ex(ctx, out + n1, &n2) == 1 && n1 + n2 == total)
      ok = true;
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  std::free(plain);
  if (!ok) {
    std::free(out);
    return nullptr;
  }
  *out_len = total;
  return out;
}
