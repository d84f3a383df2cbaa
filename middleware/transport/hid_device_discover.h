// The HID discoverer. The device manager uses only its
// discover_devices (as a name provider).
#pragma once

#include <vector>

#include "transport/device_discover.h"
#include "transport/platform.h"

class hid_device_discover : public device_discover {
 public:
  hid_device_discover() = default;
  ~hid_device_discover() override = default;

  // `hid_list`: field 3 of the criteria. One path per matching USB device (at
  // most `capacity`); the count, or the negative error of a failed
  // device-list request.
  int discover_devices(const char* hid_list, char (*names)[kNameLen],
                       int capacity = kNameTableEntries) override;

  // 0 and the path in `name` (kNameLen) when list[index] matches, 1 otherwise.
  int inquiry_identify(const std::vector<rx::plat::usb_device_ref>& list, size_t index,
                       const char* hid_list, char* name);
  // True when the device has the HID-with-mass-storage interface layout.
  bool communicate_with_ctr_report(rx::plat::usb_device* dev);

  // The count of the previous pass (-1 before the first).
  int previous_count() const { return previous_count_; }
  void reset_previous_count() { previous_count_ = -1; }

 private:
  int previous_count_ = -1;
};
