// Command builder `apdu_ecc_manager`, reached through get_ecc_mgr() (apdu/apdu_registry.h):
// SM2/ECC keys and operations.
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_ecc_manager : public apdu_mgr_base {
 public:
  apdu_ecc_manager() = default;
  ~apdu_ecc_manager() override = default;
};
