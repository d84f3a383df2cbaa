#include "transport/device_unavailable.h"

device_unavailable::device_unavailable(const char* path, int device_type, int comm_timeout)
    : device_common(path, comm_timeout), type_(device_type) {}
