// Command builder `apdu_cryption_manager`, reached through get_cryption_mgr() (apdu/apdu_registry.h):
// symmetric encryption and decryption.
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_cryption_manager : public apdu_mgr_base {
 public:
  apdu_cryption_manager() = default;
  ~apdu_cryption_manager() override = default;
};
