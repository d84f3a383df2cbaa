// The calling frame of every exported token API function.
//
// The process lock is not recursive, and many functions are built from other
// ones. So every exported SKF_*/VKF_* function is a thin shell that only
// enters the frame and calls an internal function; internal functions (in
// namespace rx::skf) call only internal functions, never an exported one.
// No path then takes the lock twice. A nested acquisition by the same thread
// aborts with a message in a debug build and fails with SAR_FAIL in a
// release build (it would otherwise hang forever).
//
//   extern "C" RX_EXPORT ULONG SKF_CloseHandle(HANDLE h) {
//     return rx::skf::skf_call([&] { return rx::skf::close_handle(h); });
//   }
//
// Functions that run without the process lock (SKF_GetLastDevError, the
// lock and transaction functions, SKF_CancelWaitForDevEvent, ...) use
// skf_call_unlocked, which only keeps exceptions from leaving the library.
// An internal function that must wait without the lock (the device-event
// wait) releases it for a scope with process_lock_released; every handle it
// resolved before must be resolved again afterwards.
#pragma once

#include <new>

#include "skf_types.h"
#include "token_api/gm_sc_mgr.h"
#include "transport/vk_mutex.h"

namespace rx {
namespace skf {

// Runs `body` (returning a ULONG) under the process lock. Exceptions become
// SAR_MEMORYERR (allocation) or SAR_FAIL.
template <class Body>
ULONG skf_call(Body&& body) noexcept {
  try {
    vk_auto_mutex guard(&gm_sc_mgr::g_mutex, gm_sc_mgr::k_lock_name);
    if (!guard.owns()) return SAR_FAIL;
    return body();
  } catch (const std::bad_alloc&) {
    return SAR_MEMORYERR;
  } catch (...) {
    return SAR_FAIL;
  }
}

// Runs `body` without the process lock, with the same exception barrier.
template <class Body>
ULONG skf_call_unlocked(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return SAR_MEMORYERR;
  } catch (...) {
    return SAR_FAIL;
  }
}

// Whether the calling thread holds the process lock.
inline bool process_lock_held() { return gm_sc_mgr::g_mutex.held_by_current_thread(); }

// Releases the process lock held by the calling thread for the life of the
// object and takes it again at the end. Does nothing when the thread does not
// hold it.
class process_lock_released {
 public:
  process_lock_released() : released_(process_lock_held()) {
    if (released_) gm_sc_mgr::g_mutex.unlock();
  }
  ~process_lock_released() {
    if (released_) gm_sc_mgr::g_mutex.lock(gm_sc_mgr::k_lock_name);
  }
  process_lock_released(const process_lock_released&) = delete;
  process_lock_released& operator=(const process_lock_released&) = delete;

 private:
  bool released_;
};

}  // namespace skf
}  // namespace rx
