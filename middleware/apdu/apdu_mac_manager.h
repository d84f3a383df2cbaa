// Command builder `apdu_mac_manager`, reached through get_mac_mgr() (apdu/apdu_registry.h):
// MAC.
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_mac_manager : public apdu_mgr_base {
 public:
  apdu_mac_manager() = default;
  ~apdu_mac_manager() override = default;
};
