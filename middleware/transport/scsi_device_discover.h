// The SCSI discoverer: finds tokens among the sg nodes by the product
// identification of their standard INQUIRY data. The device manager uses
// only discover_devices, with field 1 of the criteria string (the product
// prefix, "rx7100" by default).
#pragma once

#include "transport/device_discover.h"

class scsi_device_discover : public device_discover {
 public:
  // Highest number of sg nodes examined.
  static constexpr int kMaxSgNodes = 256;

  // Appends "/dev/sg<n>" for every matching node to `names` (at most
  // `capacity` entries); returns the count. An empty prefix finds nothing.
  int discover_devices(const char* prefix, char (*names)[kNameLen],
                       int capacity = kNameTableEntries) override;
  int discover_cd_devices(const char* prefix, char (*names)[kNameLen],
                          int capacity = kNameTableEntries);

  // Consecutive sg nodes from /dev/sg0 up to the first missing one, at most 256.
  int get_sg_device_number();
  // 0 the product matches; 1 the INQUIRY request failed; 2 the target
  // answered CHECK CONDITION (or the transfer failed); 3 too little data
  // came back to hold the product identification; 4 no match.
  int pos_inquiry_identify(int fd, const char* prefix);
};
