#include "transport/device_common.h"

#include <cstdio>
#include <cstring>

device_common::device_common(const char* path, int comm_timeout) : comm_timeout_(comm_timeout) {
  std::snprintf(path_, sizeof(path_), "%s", path ? path : "");
  std::memset(name_, 0, sizeof(name_));
}

int device_common::set_comm_timeout(int ms) {
  comm_timeout_ = ms;
  return ms;
}

void device_common::set_dev_name(const char* name) {
  std::snprintf(name_, sizeof(name_), "%s", name ? name : "");
}
