// Command builder `apdu_rsa_manager`, reached through get_rsa_mgr() (apdu/apdu_registry.h):
// RSA keys and operations, key-pair and certificate deletion.
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_rsa_manager : public apdu_mgr_base {
 public:
  apdu_rsa_manager() = default;
  ~apdu_rsa_manager() override = default;
};
