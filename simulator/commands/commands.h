// Registration of the card OS commands. Each command family lives in its
// own file under commands/ and exposes one register_* function; add the
// call to register_standard_commands() in commands.cpp.
#pragma once

namespace vtok {

class card_os;

void register_standard_commands(card_os& os);

void register_random_commands(card_os& os);       // GenRandom
void register_device_info_commands(card_os& os);  // GetDevInfo, SetLabel, LedControl, ...
void register_dev_auth_commands(card_os& os);     // DevAuth, ChangeDevAuthKey(Ex)
void register_factory_commands(card_os& os);      // Format, GetFSMaxCap, LockCos, ...
void register_oem_commands(card_os& os);          // ReadOemInfo, WriteOemInfo
void register_vendor_raw_commands(card_os& os);   // raw vendor pass-through commands

}  // namespace vtok
