// Internal token API functions for handles (called inside the frame).
#pragma once

#include "skf_types.h"

namespace rx {
namespace skf {

// Closes a digest context, a MAC context or a session key.
ULONG close_handle(HANDLE h);

}  // namespace skf
}  // namespace rx
