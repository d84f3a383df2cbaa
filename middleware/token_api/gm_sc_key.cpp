#include "token_api/gm_sc_key.h"

gm_sc_key::gm_sc_key(uint32_t key_id, uint32_t alg_id) : key_id_(key_id), alg_id_(alg_id) {
  init_handle(HT_SESSION_KEY);
}

gm_sc_mac::gm_sc_mac(uint32_t key_id, uint32_t alg_id, uint32_t cont_id)
    : key_id_(key_id), alg_id_(alg_id), cont_id_(cont_id) {
  init_handle(HT_MAC);
}

gm_sc_digest::gm_sc_digest(uint32_t alg_id) : alg_id_(alg_id) { init_handle(HT_DIGEST); }

uint32_t gm_sc_digest::get_dev_alg_id() const { return alg_id_ == 4 ? 3 : alg_id_; }

int gm_sc_digest::get_block_size() const {
  switch (alg_id_) {
    case 1:
    case 3:
    case 4:
      return 32;
    case 2:
      return 20;
    case 129:
      return 16;
    default:
      return 0;
  }
}
