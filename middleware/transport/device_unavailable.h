// A stand-in device for transports that are not built yet:
// it keeps path, name, state and timeout like the real devices, so discovery
// and the command layer's bookkeeping work, while every I/O operation gives
// the base failure value (-1) and open/close fail (-1).
#pragma once

#include "transport/device_common.h"

class device_unavailable : public device_common {
 public:
  device_unavailable(const char* path, int device_type, int comm_timeout);

  int get_device_type() override { return type_; }

 private:
  int type_;
};
