#include "transport/device_factory.h"
#include "transport/linux_device_scsi.h"
#include "transport/scsi_device_discover.h"

device_base* make_scsi_device(const char* path) { return new linux_device_scsi(path); }

device_discover* make_scsi_discoverer() { return new scsi_device_discover(); }
