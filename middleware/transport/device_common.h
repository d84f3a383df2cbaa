// The bookkeeping every concrete device keeps: its path, the name the command
// layer gives it, its state and its communication timeout.
#pragma once

#include "transport/device_base.h"

class device_common : public device_base {
 public:
  // Returns `ms`.
  int set_comm_timeout(int ms) override;
  const char* get_dev_path() override { return path_; }
  const char* get_dev_name() override { return name_; }
  // Copies at most kDevNameLen - 1 characters; null clears the name.
  void set_dev_name(const char* name) override;
  void set_dev_state(enmDevState state) override { state_ = state; }
  enmDevState get_dev_state() override { return state_; }

  int comm_timeout() const { return comm_timeout_; }

 protected:
  // Copies at most kDevPathLen - 1 characters of `path` (null: empty).
  device_common(const char* path, int comm_timeout);

  char path_[kDevPathLen];
  char name_[kDevNameLen];
  enmDevState state_ = DEV_STATE_INITIAL;
  int comm_timeout_;
};
