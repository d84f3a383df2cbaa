// SetLabel (CLA 80, INS 02, P1 00, P2 00, data: the label): a small
// state-changing command the service installs on a token's card OS when the
// card OS has none of its own, so scripts and tests can change a token's
// persistent state.
#pragma once

#include <cstddef>

namespace vtok {

class card_os;

namespace svc {

constexpr size_t max_label_length = 32;

// Registers the command unless the card OS already handles 80 02.
void install_label_command(card_os& os);

}  // namespace svc
}  // namespace vtok
