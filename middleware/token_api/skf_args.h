// Argument checks run at the entry of token API functions, before any
// command is sent. Each check is a bool; require() folds them:
//
//   if (ULONG rv = require(ptr_ok(out), name_ok(name, 32), len_ok(len, 1024)))
//     return rv;
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "skf_types.h"

namespace rx {
namespace skf {

// A pointer the function reads or writes through.
inline bool ptr_ok(const void* p) { return p != nullptr; }

// A required name: not null, not empty, at most `max_len` bytes (without the
// terminator). Never reads more than max_len + 1 bytes.
inline bool name_ok(const char* name, size_t max_len) {
  if (!name || name[0] == '\0') return false;
  return strnlen(name, max_len + 1) <= max_len;
}

// A length that must fit a field of at most `max` bytes.
inline bool len_ok(uint64_t len, uint64_t max) { return len <= max; }

// A length within [min, max].
inline bool len_in(uint64_t len, uint64_t min, uint64_t max) { return len >= min && len <= max; }

// A buffer of `len` bytes: null is accepted only with length 0.
inline bool buf_ok(const void* p, uint64_t len) { return p != nullptr || len == 0; }

// SAR_OK when every check passed, else SAR_INVALIDPARAMERR.
template <class... Checks>
ULONG require(Checks... ok) {
  const bool all[] = {true, static_cast<bool>(ok)...};
  for (bool b : all)
    if (!b) return SAR_INVALIDPARAMERR;
  return SAR_OK;
}

}  // namespace skf
}  // namespace rx
