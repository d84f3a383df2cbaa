// Command builder `apdu_dev_manager`, reached through get_apdu_dev_mgr() (apdu/apdu_registry.h):
// device information, device authentication (Part 2.2), PIN (Part 2.7).
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_dev_manager : public apdu_mgr_base {
 public:
  apdu_dev_manager() = default;
  ~apdu_dev_manager() override = default;
};
