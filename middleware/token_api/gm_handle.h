// The base of every token API object: a kind and a handle value taken from
// one process-wide counter that starts at 0x3000 and never hands out a value
// twice, whatever the kind. A handle of a destroyed object is therefore never
// found again.
#pragma once

#include <atomic>
#include <cstdint>

#include "skf_types.h"

enum HANDLE_TYPE : int32_t {
  HT_NONE = -1,  // not initialised
  HT_DIGEST = 0,
  HT_SESSION_KEY = 1,
  HT_MAC = 3,
  HT_DEVICE = 4,
  HT_CONTAINER = 5,
  HT_APPLICATION = 6,
};

class gm_handle {
 public:
  static constexpr uintptr_t k_first_handle = 0x3000;

  gm_handle() = default;
  virtual ~gm_handle() = default;
  gm_handle(const gm_handle&) = delete;
  gm_handle& operator=(const gm_handle&) = delete;

  // Stores the kind and takes the next handle value.
  void init_handle(HANDLE_TYPE type);
  HANDLE get_handle() const { return handle_; }
  HANDLE_TYPE get_handle_type() const { return type_; }

  // The next value of the counter (advances it).
  static HANDLE generate_handle();
  // The value the next object will get (does not advance), for tests.
  static uintptr_t peek_next_handle() { return s_nextHandle.load(); }

 private:
  static std::atomic<uintptr_t> s_nextHandle;

  HANDLE_TYPE type_ = HT_NONE;
  HANDLE handle_ = nullptr;
};
