// Registration of the card OS commands. Each command family lives in its
// own file under commands/ and exposes one register_* function; add the
// call to register_standard_commands() in commands.cpp.
#pragma once

namespace vtok {

class card_os;

void register_standard_commands(card_os& os);

void register_random_commands(card_os& os);  // GenRandom

}  // namespace vtok
