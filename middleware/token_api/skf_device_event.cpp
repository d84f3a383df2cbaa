// SKF_WaitForDevEvent and SKF_CancelWaitForDevEvent.
#include <cstring>
#include <string>

#include "rx7100_app.h"
#include "skf.h"
#include "token_api/skf_args.h"
#include "token_api/skf_call.h"
#include "token_api/skf_device.h"
#include "token_api/skf_device_list.h"
#include "transport/os_presence.h"
#include "transport/platform.h"

namespace rx {
namespace skf {

namespace {

constexpr unsigned k_pause_between_waits_ms = 60;
constexpr unsigned k_settle_retry_ms = 300;
constexpr int k_arrival_retries = 5;
constexpr int k_removal_retries = 2;

// Waits started in this process; the first one takes a snapshot of the
// devices present. Protected by the process lock.
unsigned long g_wait_count = 0;

struct change_counts {
  int removed = 0;
  int added = 0;
};

// One discovery pass; adds its numbers of removed and new devices.
bool update(const std::string& criteria, change_counts& c) {
  int removed = 0, added = 0;
  if (app_update_dev_state(&removed, &added, criteria.c_str()) != 0) return false;
  if (removed > 0) c.removed += removed;
  if (added > 0) c.added += added;
  return true;
}

void before_wait(const std::string& criteria) {
  if (g_wait_count != 0) {
    rx::plat::get().sleep_ms(k_pause_between_waits_ms);
    return;
  }
  void* h = nullptr;
  app_get_first_dev(&h, RX_DEV_STATE_INITIAL);
  if (!h) {
    change_counts c;
    if (!update(criteria, c)) return;
    if (c.added > 0) {
      name_list discarded(k_event_list_size);  // the listing names them
      list_tokens(RX_DEV_STATE_ARRIVED, discarded);
    }
  }
  ++g_wait_count;
}

// Repeats the discovery while the change the presence monitor saw has not
// shown up yet (a token needs a moment to appear after the USB device).
bool update_until_seen(const std::string& criteria, int event, change_counts& c) {
  if (!update(criteria, c)) return false;
  const bool arrival = event == OS_DEV_EVENT_ARRIVED;
  const int tries = arrival ? k_arrival_retries : k_removal_retries;
  for (int i = 0; i < tries; ++i) {
    if ((arrival ? c.added : c.removed) > 0) break;
    if (!update(criteria, c)) return false;
    if ((arrival ? c.added : c.removed) == 0) rx::plat::get().sleep_ms(k_settle_retry_ms);
  }
  return true;
}

void collect_removed_names(name_list& out) {
  void* h = nullptr;
  for (const char* name = app_get_first_dev(&h, RX_DEV_STATE_REMOVED); h;
       name = app_get_next_dev(&h, RX_DEV_STATE_REMOVED))
    out.append(name);
}

}  // namespace

ULONG wait_for_dev_event(char* names, ULONG* len, ULONG* event) {
  if (ULONG rv = require(ptr_ok(names), ptr_ok(len), ptr_ok(event))) return rv;
  const std::string criteria = device_criteria();
  before_wait(criteria);

  int ev = 0;
  int rc;
  {
    process_lock_released unlocked;
    rc = os_waitfor_dev_event(criteria.c_str(), &ev);
  }
  if (rc != 0) return SAR_INVALIDPARAMERR;  // the criteria string is unusable
  if (ev == OS_DEV_EVENT_CANCELLED) return SAR_NOT_EVENTERR;

  name_list list(k_event_list_size);
  change_counts c;
  if (update_until_seen(criteria, ev, c)) {
    // Removed names first: listing the new devices may delete records.
    name_list removed(k_event_list_size);
    if (c.removed > 0) collect_removed_names(removed);
    if (c.added > 0) {
      list_tokens(RX_DEV_STATE_ARRIVED, list);
      *event = DEV_EVENT_ARRIVED;
    }
    if (c.removed > 0) {
      list = removed;
      *event = DEV_EVENT_REMOVED;
    }
    app_destroy_removed_devs();
  }

  // The list and its final NUL.
  const ULONG needed = static_cast<ULONG>(list.length()) + 1;
  if (*len < needed) {
    *len = needed;
    return SAR_BUFFER_TOO_SMALL;
  }
  std::memcpy(names, list.data(), list.length());
  names[list.length()] = '\0';
  *len = needed;
  return SAR_OK;
}

}  // namespace skf
}  // namespace rx

extern "C" {

RX_EXPORT ULONG SKF_WaitForDevEvent(LPSTR szDevName, ULONG* pulDevNameLen, ULONG* pulEvent) {
  return rx::skf::skf_call(
      [&] { return rx::skf::wait_for_dev_event(szDevName, pulDevNameLen, pulEvent); });
}

RX_EXPORT ULONG SKF_CancelWaitForDevEvent(void) {
  return rx::skf::skf_call_unlocked([] {
    os_cancel_waitfor_dev_event();
    return SAR_OK;
  });
}

}  // extern "C"
