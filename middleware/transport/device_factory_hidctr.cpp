#include "transport/device_factory.h"
#include "transport/linux_device_hid_ctrio.h"

device_base* make_hidctr_device(const char* path) { return new linux_device_hid_ctrio(path); }
