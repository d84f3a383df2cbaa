// The presence monitor: tells the token API when USB devices come or go by
// polling the number of USB devices (devices and root hubs) through the
// platform seam. All sleeping and time reading goes through the seam's clock.
#pragma once

#include <string>

// Event values of os_waitfor_dev_event.
enum os_dev_event {
  OS_DEV_EVENT_ARRIVED = 1,
  OS_DEV_EVENT_REMOVED = 2,
  OS_DEV_EVENT_CANCELLED = 3,
};

// Blocks until the number of USB devices changes or the wait is cancelled.
// 1 when the criteria string has fewer than three fields; else 0 with
// *event 1 (more devices), 2 (fewer devices) or 3 (cancelled). A count that
// cannot be read is unknown and never produces an event.
int os_waitfor_dev_event(const char* criteria, int* event);
// Asks a running wait to end (it reports event 3 within about a second),
// sleeps 2 seconds so the waiter sees it, and returns 0. A wait that starts
// later clears the request.
int os_cancel_waitfor_dev_event();

// Checks the criteria string: split on "," (runs of commas count as one,
// empty fields vanish, at most 1024 characters); fewer than three fields: 1;
// otherwise stores the second field as the USB filter and returns 0.
int ParseFileter(const char* criteria);
// True (and the time of the last update set to now) when more than `s`
// seconds have passed since the last update.
bool GetTimeInterval(int s);

namespace rx {
namespace os {

// Test access to the monitor's process-wide values.
struct presence_state {
  int baseline;
  unsigned long long last_update_ms;
  int cancel;
  std::string usb_filter;
};
presence_state presence_snapshot();
// Back to the load-time values (baseline 0, last update 0, no cancel).
void presence_reset();

}  // namespace os
}  // namespace rx
