#include "transport/os_presence.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "transport/platform.h"

namespace {

constexpr size_t k_criteria_max = 1024;
constexpr int k_rebaseline_s = 10;
constexpr int k_poll_interval_s = 2;
constexpr unsigned k_tick_ms = 1000;
constexpr unsigned k_settle_ms = 1000;
constexpr unsigned k_cancel_grace_ms = 2000;

// The monitor's process-wide values. The baseline and the time stamp are
// only used by the (single) waiting thread; the cancel flag is set from
// another thread. Atomics keep the cross-thread reads well defined.
std::atomic<int> g_baseline{0};
std::atomic<uint64_t> g_last_update_ms{0};
std::atomic<int> g_cancel{0};

std::mutex& filter_mutex() {
  static std::mutex m;
  return m;
}
std::string& usb_filter() {
  static std::string f;
  return f;
}

uint64_t now_ms() { return rx::plat::get().monotonic_ms(); }

}  // namespace

int ParseFileter(const char* criteria) {
  if (!criteria) return 1;
  char work[k_criteria_max + 1];
  const size_t n = strnlen(criteria, k_criteria_max);
  std::memcpy(work, criteria, n);
  work[n] = '\0';

  const char* fields[3] = {nullptr, nullptr, nullptr};
  int count = 0;
  char* save = nullptr;
  for (char* tok = strtok_r(work, ",", &save); tok && count < 3;
       tok = strtok_r(nullptr, ",", &save))
    fields[count++] = tok;
  if (count < 3) return 1;

  std::lock_guard<std::mutex> g(filter_mutex());
  usb_filter().assign(fields[1], strnlen(fields[1], k_criteria_max));
  return 0;
}

bool GetTimeInterval(int s) {
  const uint64_t now = now_ms();
  const uint64_t last = g_last_update_ms.load();
  const uint64_t diff = now >= last ? now - last : last - now;
  if (diff > static_cast<uint64_t>(s) * 1000u) {
    g_last_update_ms.store(now);
    return true;
  }
  return false;
}

int os_waitfor_dev_event(const char* criteria, int* event) {
  if (ParseFileter(criteria) != 0) return 1;
  rx::plat::backend& plat = rx::plat::get();

  if (g_baseline.load() == 0) {
    GetTimeInterval(k_rebaseline_s);
    const int count = plat.usb_device_count();
    // An unreadable count leaves the baseline unknown (0).
    g_baseline.store(count > 0 ? count : 0);
  } else if (GetTimeInterval(k_rebaseline_s)) {
    // Long since the last poll: report whatever is attached as an arrival.
    g_baseline.store(0);
  }

  g_cancel.store(0);
  int ignored = 0;
  int* out = event ? event : &ignored;
  for (;;) {
    plat.sleep_ms(k_tick_ms);
    if (GetTimeInterval(k_poll_interval_s)) {
      const int count = plat.usb_device_count();
      const int baseline = g_baseline.load();
      if (count >= 0 && count < baseline) {
        g_baseline.store(count);
        g_last_update_ms.store(now_ms());
        *out = OS_DEV_EVENT_REMOVED;
        return 0;
      }
      if (count >= 0 && count > baseline) {
        g_baseline.store(count);
        g_last_update_ms.store(now_ms());
        *out = OS_DEV_EVENT_ARRIVED;
        // Give the device time to settle before the caller enumerates.
        plat.sleep_ms(k_settle_ms);
        return 0;
      }
    }
    if (g_cancel.load()) {
      *out = OS_DEV_EVENT_CANCELLED;
      return 0;
    }
  }
}

int os_cancel_waitfor_dev_event() {
  g_cancel.store(1);
  rx::plat::get().sleep_ms(k_cancel_grace_ms);
  return 0;
}

namespace rx {
namespace os {

presence_state presence_snapshot() {
  presence_state s;
  s.baseline = g_baseline.load();
  s.last_update_ms = g_last_update_ms.load();
  s.cancel = g_cancel.load();
  std::lock_guard<std::mutex> g(filter_mutex());
  s.usb_filter = usb_filter();
  return s;
}

void presence_reset() {
  g_baseline.store(0);
  g_last_update_ms.store(0);
  g_cancel.store(0);
  std::lock_guard<std::mutex> g(filter_mutex());
  usb_filter().clear();
}

}  // namespace os
}  // namespace rx
