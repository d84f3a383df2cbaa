// The root of the token API's object tree and its process lock.
//
// The device list, the handle counter and every object below are protected
// only by the process lock: the lookup, creation and removal operations take
// no lock of their own and run inside an exported function's frame
// (token_api/skf_call.h).
#pragma once

#include "skf_types.h"
#include "token_api/gm_sc_dev.h"
#include "transport/vk_mutex.h"

class gm_sc_mgr {
 public:
  // The name of the process lock (its lock file is named after it).
  static constexpr const char* k_lock_name = "Global\\q5gm_mutex";

  static gm_sc_dev_mgr* get_dev_ptr() { return &_g_dev_mgr; }

  // SAR_INVALIDPARAMERR when the handle is 0, names no device or a device
  // with an empty name; otherwise locks (unlocks) the device through the
  // transport and returns SAR_OK whatever the transport reported.
  static ULONG lock_dev(HANDLE h, long timeout);
  static ULONG unlock_dev(HANDLE h);

  static vk_mutex g_mutex;

 private:
  static gm_sc_dev_mgr _g_dev_mgr;
};

// "Version:20200522".
const char* get_version();
