// Command builder `apdu_key_manager`, reached through get_key_mgr() (apdu/apdu_registry.h):
// session keys, public-key export.
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_key_manager : public apdu_mgr_base {
 public:
  apdu_key_manager() = default;
  ~apdu_key_manager() override = default;
};
