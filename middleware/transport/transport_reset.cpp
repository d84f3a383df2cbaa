#include "transport/transport_reset.h"

#include "transport/device_manager.h"
#include "transport/hid_device_discover.h"
#include "transport/hid_usb.h"

namespace rx {
namespace transport {

void reset_state() {
  device_manager* m = os_selector::get_device_discover();
  m->clear_devices();
  m->hid_discoverer().reset_previous_count();
  hid::release_contexts();
  hid::insert_flag() = 0;
}

}  // namespace transport
}  // namespace rx
