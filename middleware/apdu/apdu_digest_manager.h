// Command builder `apdu_digest_manager`, reached through get_digest_mgr() (apdu/apdu_registry.h):
// digests.
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_digest_manager : public apdu_mgr_base {
 public:
  apdu_digest_manager() = default;
  ~apdu_digest_manager() override = default;
};
