// PLACEHOLDERS until Part 1.4 exists: replace the bodies with
//   return new linux_device_scsi(path);
//   return new scsi_device_discover();
#include "transport/device_factory.h"
#include "transport/device_unavailable.h"

namespace {
// Finds nothing: no SCSI names until the SCSI discoverer is built.
class scsi_discover_unavailable : public device_discover {
 public:
  int discover_devices(const char*, char (*)[kNameLen], int) override { return 0; }
};
}  // namespace

device_base* make_scsi_device(const char* path) {
  return new device_unavailable(path, /*device_type=*/0, /*comm_timeout=*/120000);
}

device_discover* make_scsi_discoverer() { return new scsi_discover_unavailable(); }
