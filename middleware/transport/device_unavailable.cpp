#include "transport/device_unavailable.h"

#include <cstdio>
#include <cstring>

device_unavailable::device_unavailable(const char* path, int device_type, int comm_timeout)
    : type_(device_type), comm_timeout_(comm_timeout) {
  std::snprintf(path_, sizeof(path_), "%s", path ? path : "");
  std::memset(name_, 0, sizeof(name_));
}

int device_unavailable::set_comm_timeout(int ms) {
  comm_timeout_ = ms;
  return ms;
}

void device_unavailable::set_dev_name(const char* name) {
  std::snprintf(name_, sizeof(name_), "%s", name ? name : "");
}
