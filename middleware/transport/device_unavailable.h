// A stand-in device for transports that are not built yet:
// it keeps path, name, state and timeout like the real devices, so discovery
// and the command layer's bookkeeping work, while every I/O operation gives
// the base failure value (-1) and open/close fail (-1).
#pragma once

#include "transport/device_base.h"

class device_unavailable : public device_base {
 public:
  device_unavailable(const char* path, int device_type, int comm_timeout);

  int set_comm_timeout(int ms) override;
  const char* get_dev_path() override { return path_; }
  const char* get_dev_name() override { return name_; }
  void set_dev_name(const char* name) override;
  void set_dev_state(enmDevState state) override { state_ = state; }
  enmDevState get_dev_state() override { return state_; }
  int get_device_type() override { return type_; }

 private:
  char path_[kDevPathLen];
  char name_[kDevNameLen];
  enmDevState state_ = DEV_STATE_INITIAL;
  int type_;
  int comm_timeout_;
};
