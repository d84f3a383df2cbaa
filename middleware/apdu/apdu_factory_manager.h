// Command builder `apdu_factory_manager`, reached through get_factory_mgr() (apdu/apdu_registry.h):
// format, OEM data, factory and status (Part 2.8).
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_factory_manager : public apdu_mgr_base {
 public:
  apdu_factory_manager() = default;
  ~apdu_factory_manager() override = default;
};
