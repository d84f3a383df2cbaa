// The device functions of the token API: the internal functions behind the
// exported SKF_*/VKF_* device shells. All of them except the unlocked
// lock/transaction helpers run under the process lock (token_api/skf_call.h).
#pragma once

#include "skf_types.h"

class gm_sc_dev;

namespace rx {
namespace skf {

// Capacities of the name lists handed to callers.
constexpr size_t k_enum_list_size = 4096;
constexpr size_t k_event_list_size = 1024;

ULONG enum_dev(char* list, ULONG* size);
ULONG connect_dev(const char* name, DEVHANDLE* out);
ULONG disconnect_dev(DEVHANDLE h);
ULONG get_dev_state(const char* name, ULONG* state);

// The device-event wait releases the process lock while it blocks.
ULONG wait_for_dev_event(char* names, ULONG* len, ULONG* event);

ULONG get_dev_info(DEVHANDLE h, DEVINFO* info);
ULONG get_device_caps(DEVHANDLE h, DEVINFO* info, ULONG* caps, ULONG* feature);
ULONG get_short_dev_info(DEVHANDLE h, char* label, char* serial);
ULONG set_label(DEVHANDLE h, const char* label);
ULONG transmit(DEVHANDLE h, const BYTE* cmd, ULONG cmd_len, BYTE* resp, ULONG* resp_len);

// The device of a handle when it is connected; null otherwise.
gm_sc_dev* connected_dev(DEVHANDLE h);

}  // namespace skf
}  // namespace rx
