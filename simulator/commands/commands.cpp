#include "commands/commands.h"

namespace vtok {

void register_standard_commands(card_os& os) {
  register_random_commands(os);
}

}  // namespace vtok
