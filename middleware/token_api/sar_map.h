// Turning token status words and command-function results into token API
// result codes.
#pragma once

#include "skf_types.h"

namespace rx {
namespace skf {

// The status word table: 0x9000 is SAR_OK; a status word without an entry
// is returned unchanged (0x6A8D comes back as 0x6A8D).
ULONG sw_to_sar(unsigned int sw);

// The result of a command function (0 ok, 1 exchange failed, 2 status not
// accepted, 3 answer does not fit) with the status word it left. Never
// SAR_OK for a non-zero result: a failure whose status word reads as success
// (result 3 after 0x9000, or a pseudo status 0) becomes SAR_FAIL.
ULONG app_result_to_sar(int result, unsigned int sw);
// As above with the command layer's last status word.
ULONG app_result_to_sar(int result);

}  // namespace skf
}  // namespace rx

// The last status word of the command layer, mapped by sw_to_sar. Meant for
// use after a failed command; a last status word of 0 (never a token answer)
// gives SAR_FAIL rather than SAR_OK.
ULONG get_last_sw_err();
