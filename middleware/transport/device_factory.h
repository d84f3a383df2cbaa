// Construction of the concrete transports and the SCSI discoverer, one small
// factory function per transport, each in its own file:
//
//   device_factory_hid.cpp     -> linux_device_hid
//   device_factory_hidctr.cpp  -> linux_device_hid_ctrio
//   device_factory_scsi.cpp    -> linux_device_scsi, scsi_device_discover
//
// device_manager::create_device picks the function by path substring.
#pragma once

#include "transport/device_discover.h"

device_base* make_hid_device(const char* path);     // "hid..." paths
device_base* make_hidctr_device(const char* path);  // "hidctr..." paths
device_base* make_scsi_device(const char* path);    // everything else
// The name provider for field 1 of the criteria (SCSI product prefix).
device_discover* make_scsi_discoverer();
