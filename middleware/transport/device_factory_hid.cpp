#include "transport/device_factory.h"
#include "transport/linux_device_hid.h"

device_base* make_hid_device(const char* path) { return new linux_device_hid(path); }
