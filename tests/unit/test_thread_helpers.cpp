// Thread records: the interruptible wait, stopping and joining, and records
// that do not disturb each other.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "../support/scripted_clock_backend.h"
#include "transport/os_thread.h"

namespace {

// The scripted backend with a clock that follows real time, for the one
// test that needs a waiter to block until it is woken.
class real_clock_backend : public rxtest::scripted_clock_backend {
 public:
  uint64_t monotonic_ms() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
};

// A worker that waits on its own record until told to stop.
struct waiter_ctx {
  std::promise<os_thread*> self;
  std::promise<void> waiting;
  std::atomic<int> wait_result{-1};
  int wait_ms = 0;
};

void* waiting_worker(void* arg) {
  auto* ctx = static_cast<waiter_ctx*>(arg);
  os_thread* me = ctx->self.get_future().get();
  ctx->waiting.set_value();
  ctx->wait_result = thread_wait(me, ctx->wait_ms);
  return nullptr;
}

void* idle_worker(void*) { return nullptr; }

class ThreadHelpers : public ::testing::Test {
 protected:
  rxtest::scripted_clock_backend plat;
  rxtest::scoped_backend installed{&plat};
};

TEST_F(ThreadHelpers, WaitCountsWholeSecondsOnThePlatformClock) {
  os_thread* t = thread_create(idle_worker, nullptr);
  ASSERT_NE(nullptr, t);
  EXPECT_TRUE(thread_is_running(t));
  struct row {
    int ms;
    uint64_t virtual_ms;
  };
  for (const row& r : {row{500, 0}, row{0, 0}, row{-5, 0}, row{1000, 1000}, row{2999, 2000}}) {
    const uint64_t t0 = plat.monotonic_ms();
    EXPECT_EQ(1, thread_wait(t, r.ms)) << r.ms;  // nobody stops it: time-out
    EXPECT_EQ(r.virtual_ms, plat.monotonic_ms() - t0) << r.ms;
  }
  EXPECT_EQ(0, thread_exit(t));
  EXPECT_FALSE(thread_is_running(t));
  EXPECT_EQ(0, thread_wait(t, 5000));  // flag clear: at once
  EXPECT_EQ(0, thread_terminate(t));
  EXPECT_EQ(2, thread_wait(nullptr, 1000));
}

TEST_F(ThreadHelpers, ExitWakesAThreadWaitingOnItsRecordAndJoinsIt) {
  real_clock_backend real;
  rx::plat::set(&real);
  waiter_ctx ctx;
  ctx.wait_ms = 600000;  // would be ten minutes; the stop request ends it
  os_thread* t = thread_create(waiting_worker, &ctx);
  ASSERT_NE(nullptr, t);
  ctx.self.set_value(t);
  ctx.waiting.get_future().wait();
  EXPECT_EQ(0, thread_exit(t));  // returns only after the join
  EXPECT_EQ(0, ctx.wait_result.load());
  EXPECT_EQ(0, thread_terminate(t));
  rx::plat::set(&plat);
}

TEST_F(ThreadHelpers, RecordsAreIndependent) {
  os_thread* a = thread_create(idle_worker, nullptr);
  os_thread* b = thread_create(idle_worker, nullptr);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(0, thread_exit(a));
  // Stopping a must neither stop b nor wake a wait on b.
  EXPECT_TRUE(thread_is_running(b));
  EXPECT_EQ(1, thread_wait(b, 3000));
  EXPECT_EQ(0, thread_wait(a, 3000));
  // A new record while another exists leaves the first one intact.
  os_thread* c = thread_create(idle_worker, nullptr);
  ASSERT_NE(nullptr, c);
  EXPECT_TRUE(thread_is_running(b));
  EXPECT_EQ(0, thread_terminate(c));  // still running: stopped and joined
  EXPECT_TRUE(thread_is_running(b));
  EXPECT_EQ(0, thread_terminate(b));
  EXPECT_EQ(0, thread_terminate(a));
}

TEST_F(ThreadHelpers, CreateExistSleep) {
  EXPECT_EQ(nullptr, thread_create(nullptr, nullptr));
  int marker = 0;
  os_thread* t = thread_create(idle_worker, &marker);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(&marker, thread_arg(t));
  os_thread* none = nullptr;
  EXPECT_NE(0, thread_exist(&t));
  EXPECT_EQ(0, thread_exist(&none));
  EXPECT_EQ(0, thread_exist(nullptr));
  EXPECT_EQ(0, thread_terminate(t));

  const uint64_t t0 = plat.monotonic_ms();
  EXPECT_EQ(0, thread_sleep(1500));
  EXPECT_EQ(1500u, plat.monotonic_ms() - t0);
}

}  // namespace
