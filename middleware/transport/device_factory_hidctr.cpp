// PLACEHOLDER until Part 1.3 exists: replace the body with
//   return new linux_device_hid_ctrio(path);
#include "transport/device_factory.h"
#include "transport/device_unavailable.h"

device_base* make_hidctr_device(const char* path) {
  return new device_unavailable(path, /*device_type=*/1, /*comm_timeout=*/10000);
}
