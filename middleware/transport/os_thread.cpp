#include "transport/os_thread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "transport/platform.h"

struct os_thread {
  std::mutex mu;
  std::condition_variable cv;
  bool running = false;
  void* arg = nullptr;
  std::thread th;
};

os_thread* thread_create(os_thread_start start, void* arg) {
  if (!start) return nullptr;
  os_thread* t = new (std::nothrow) os_thread();
  if (!t) return nullptr;
  t->arg = arg;
  t->running = true;
  try {
    t->th = std::thread([start, arg] { start(arg); });
  } catch (const std::system_error&) {
    delete t;
    return nullptr;
  } catch (const std::bad_alloc&) {
    delete t;
    return nullptr;
  }
  return t;
}

int thread_wait(os_thread* t, int ms) {
  if (!t) return 2;
  rx::plat::backend& clock = rx::plat::get();
  const auto stopped = [t] { return !t->running; };
  std::unique_lock<std::mutex> lk(t->mu);
  if (stopped()) return 0;

  const uint64_t limit = ms > 0 ? static_cast<uint64_t>(ms / 1000) * 1000u : 0;
  const uint64_t start = clock.monotonic_ms();
  // While the platform clock follows real time, block on the condition so a
  // stop request wakes the waiter at once. A clock that does not move while
  // we block (a virtual clock) is advanced through its own sleep instead.
  bool clock_is_real = true;
  for (;;) {
    const uint64_t now = clock.monotonic_ms();
    const uint64_t elapsed = now - start;
    if (elapsed >= limit) return 1;
    const uint64_t step = std::min<uint64_t>(limit - elapsed, 20);
    if (clock_is_real) {
      if (t->cv.wait_for(lk, std::chrono::milliseconds(step), stopped)) return 0;
      if (clock.monotonic_ms() - now >= step) continue;
      clock_is_real = false;
    }
    lk.unlock();
    clock.sleep_ms(static_cast<unsigned>(step));
    lk.lock();
    if (stopped()) return 0;
  }
}

int thread_exit(os_thread* t) {
  if (!t) return 0;
  {
    std::lock_guard<std::mutex> g(t->mu);
    t->running = false;
  }
  t->cv.notify_all();
  if (t->th.joinable()) {
    if (t->th.get_id() == std::this_thread::get_id())
      t->th.detach();
    else
      t->th.join();
  }
  return 0;
}

int thread_terminate(os_thread* t) {
  if (!t) return 0;
  if (t->th.joinable()) thread_exit(t);
  delete t;
  return 0;
}

int thread_sleep(int ms) {
  if (ms > 0) rx::plat::get().sleep_ms(static_cast<unsigned>(ms));
  return 0;
}

int thread_exist(os_thread** p) { return (p && *p) ? 1 : 0; }

bool thread_is_running(os_thread* t) {
  if (!t) return false;
  std::lock_guard<std::mutex> g(t->mu);
  return t->running;
}

void* thread_arg(os_thread* t) { return t ? t->arg : nullptr; }
