// Command builder `apdu_finger_manager`, reached through get_finger_mgr() (apdu/apdu_registry.h):
// fingerprint.
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_finger_manager : public apdu_mgr_base {
 public:
  apdu_finger_manager() = default;
  ~apdu_finger_manager() override = default;
};
