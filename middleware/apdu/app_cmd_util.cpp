#include "apdu/app_cmd_util.h"

#include <openssl/crypto.h>

#include <cstring>

#include "apdu/apdu_registry.h"
#include "apdu/apdu_settings.h"

namespace rx {
namespace cmd {

int refuse() {
  g_last_sw = SW_ENCODE_FAILED;
  return 1;
}

int exchange(void* h, apdu* a) {
  if (!a) return refuse();
  return get_dev_mgr()->transmit_apdu(h, a, &g_last_sw) == 0 ? 0 : 1;
}

int judge() { return g_last_sw == SW_OK ? 0 : 2; }

int run(void* h, apdu_ptr a) {
  if (exchange(h, a.get()) != 0) return 1;
  return judge();
}

void wipe(apdu* a) {
  if (!a) return;
  // The record owns both buffers (allocated by set_lc_data / deserialize);
  // only its accessors are const.
  if (a->get_data() && a->get_data_length() > 0)
    OPENSSL_cleanse(const_cast<unsigned char*>(a->get_data()), a->get_data_length());
  int n = 0;
  const unsigned char* r = a->get_response_data(&n);
  if (r && n > 0) OPENSSL_cleanse(const_cast<unsigned char*>(r), n);
}

int copy_response(const apdu& a, unsigned char* buf, int cap, int* copied) {
  int n = 0;
  const unsigned char* r = a.get_response_data(&n);
  if (n < 0 || !r) n = 0;
  if (n > 0 && (!buf || n > cap)) return 3;
  if (n > 0) std::memcpy(buf, r, n);
  if (copied) *copied = n;
  return 0;
}

}  // namespace cmd
}  // namespace rx
