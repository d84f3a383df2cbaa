// Command builder `apdu_manager`, reached through get_apdu_mgr() (apdu/apdu_registry.h):
// applications, containers, certificates, files, random.
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_manager : public apdu_mgr_base {
 public:
  apdu_manager() = default;
  ~apdu_manager() override = default;

  // GenRandom (80 50 00 00, 2E) with Le = `len` (1 to 65536); a new record
  // (the caller deletes it), or null for a length outside that range.
  apdu* create_apdu_gen_random(int len);
};
