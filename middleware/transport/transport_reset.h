// Returns the process-wide transport state to what it is at load: no device
// objects, no libusb contexts, the insert flag down, the HID discoverer's
// previous count unknown (-1). Call it while the backend that the devices and
// contexts were made with is still installed, i.e. before rx::plat::set()
// switches to another backend (the unit tests do so in their fixtures).
#pragma once

namespace rx {
namespace transport {
void reset_state();
}  // namespace transport
}  // namespace rx
