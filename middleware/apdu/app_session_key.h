// Session-key command functions (result convention of include/rx7100_cmd.h).
#pragma once

#include "rx_export.h"

extern "C" {

// DestroySessionKey (80 C4 00 00, case 3E): data = app id, container id, key
// id, each 2 bytes big-endian. Identifiers outside 0..0xFFFF are refused
// before anything is sent (1, last status word 0x8001). 0xFFFF / 0xFFFF / 0
// destroys every session key of the token.
RX_EXPORT int app_destroy_session_key(void* h, int app_id, int container_id, int key_id);
}
