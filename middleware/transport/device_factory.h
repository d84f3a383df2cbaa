// Construction of the concrete transports and the SCSI discoverer, one small
// factory function per transport, each in its own file, so that the
// transports of Parts 1.3 and 1.4 can be dropped in by replacing one file:
//
//   device_factory_hid.cpp     -> linux_device_hid            (Part 1.2)
//   device_factory_hidctr.cpp  -> placeholder until Part 1.3 (linux_device_hid_ctrio)
//   device_factory_scsi.cpp    -> placeholders until Part 1.4 (linux_device_scsi,
//                                 scsi_device_discover)
//
// device_manager::create_device picks the function by path substring.
#pragma once

#include "transport/device_discover.h"

device_base* make_hid_device(const char* path);     // "hid..." paths
device_base* make_hidctr_device(const char* path);  // "hidctr..." paths
device_base* make_scsi_device(const char* path);    // everything else
// The name provider for field 1 of the criteria (SCSI product prefix).
device_discover* make_scsi_discoverer();
