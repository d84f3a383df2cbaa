#include "commands/commands.h"

namespace vtok {

void register_standard_commands(card_os& os) {
  register_random_commands(os);
  register_device_info_commands(os);
  register_dev_auth_commands(os);
  register_factory_commands(os);
  register_oem_commands(os);
  register_vendor_raw_commands(os);
}

}  // namespace vtok
