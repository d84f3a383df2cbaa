// The chained-command helper for the import commands:
// app_import_certificate, app_import_rsa_keypair and
// app_import_ext_rsa_keypair build their head record and call this.
//
//   head: the builder's head record (carries the total length and target;
//         caller-owned, its CLA gets bit 0x10);
//   data, len: the data to chain, in chunks of get_max_transmit_len();
// the last status word gets each exchange's status.
//
// Result (the command-function convention): 0 all parts answered 0x9000;
// 1 a transport failure, or refused before anything was sent (no data or a
// maximum transmit length <= 0; last status word 0x8001); 2 a status word
// other than 0x9000 (in the last status word).
#pragma once

#include "apdu/apdu_registry.h"
#include "apdu/apdu_settings.h"

inline int app_transmit_chained(void* handle, apdu* head, const unsigned char* data, int len) {
  return get_dev_mgr()->transmit_chained(handle, head, data, len, &g_last_sw);
}
