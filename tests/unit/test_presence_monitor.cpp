// The USB presence monitor on a virtual clock: arrival, removal, cancel, an
// unreadable device count and the criteria check. The backend's sleep
// advances virtual time at once, so the elapsed virtual time shows how many
// polls a wait took.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "../support/scripted_clock_backend.h"
#include "transport/os_presence.h"
#include "vtok_fixture.h"

namespace {

const char k_criteria[] = "rx7100,vid_7e3b&pid_db08|vid_7e3b&pid_e618,vid_7e3b&pid_e618";

class PresenceMonitor : public ::testing::Test {
 protected:
  void SetUp() override { rx::os::presence_reset(); }
  void TearDown() override { rx::os::presence_reset(); }

  // Runs one wait and returns {result, event, virtual ms spent}.
  struct outcome {
    int rc;
    int event;
    uint64_t ms;
  };
  outcome wait_once() {
    const uint64_t t0 = plat.monotonic_ms();
    int event = -1;
    const int rc = os_waitfor_dev_event(k_criteria, &event);
    return {rc, event, plat.monotonic_ms() - t0};
  }

  rxtest::scripted_clock_backend plat;
  rxtest::scoped_backend installed{&plat};
};

TEST_F(PresenceMonitor, CriteriaWithFewerThanThreeFieldsFailsAtOnce) {
  struct row {
    const char* criteria;
    int rc;
    const char* filter;
  };
  const row rows[] = {
      {nullptr, 1, ""},
      {"", 1, ""},
      {"a,b", 1, ""},
      {",,a,,,b,,", 1, ""},  // empty fields vanish
      {"a,b,c", 0, "b"},
      {",a,,b,,c", 0, "b"},
      {"rx7100,usbfilter,vid_1|vid_2,extra", 0, "usbfilter"},
  };
  for (const row& r : rows) {
    rx::os::presence_reset();
    SCOPED_TRACE(r.criteria ? r.criteria : "(null)");
    EXPECT_EQ(r.rc, ParseFileter(r.criteria));
    EXPECT_EQ(r.filter, rx::os::presence_snapshot().usb_filter);
  }
  int event = -1;
  EXPECT_EQ(1, os_waitfor_dev_event("a,b", &event));
  EXPECT_EQ(-1, event);
  EXPECT_EQ(0u, plat.slept_ms());
  EXPECT_EQ(0, plat.count_reads());
}

TEST_F(PresenceMonitor, CriteriaLongerThanTheWorkBufferIsCutNotOverrun) {
  std::string c = "a,";
  c += std::string(2000, 'f');  // second field runs past 1024 characters
  c += ",c";
  EXPECT_EQ(1, ParseFileter(c.c_str()));  // the third field was cut off
  EXPECT_EQ("", rx::os::presence_snapshot().usb_filter);
}

TEST_F(PresenceMonitor, PlugReportsArrivalAfterThreeSecondsAndOneToSettle) {
  plat.script_counts({3});  // baseline
  plat.set_count(4);
  const outcome o = wait_once();
  EXPECT_EQ(0, o.rc);
  EXPECT_EQ(OS_DEV_EVENT_ARRIVED, o.event);
  EXPECT_EQ(4000u, o.ms);  // polled after 3 s, then 1 s to settle
  EXPECT_EQ(4, rx::os::presence_snapshot().baseline);
}

TEST_F(PresenceMonitor, UnplugReportsRemoval) {
  plat.script_counts({3});
  plat.set_count(2);
  const outcome o = wait_once();
  EXPECT_EQ(0, o.rc);
  EXPECT_EQ(OS_DEV_EVENT_REMOVED, o.event);
  EXPECT_EQ(3000u, o.ms);
  EXPECT_EQ(2, rx::os::presence_snapshot().baseline);
}

TEST_F(PresenceMonitor, UnchangedCountKeepsPollingEveryThirdSecond) {
  plat.script_counts({3, 3, 3, 3});
  plat.set_count(5);
  const outcome o = wait_once();
  EXPECT_EQ(OS_DEV_EVENT_ARRIVED, o.event);
  EXPECT_EQ(5, plat.count_reads());
  EXPECT_EQ(13000u, o.ms);  // polls at 3, 6, 9 and 12 s, then 1 s to settle
}

TEST_F(PresenceMonitor, UnreadableCountIsUnknownAndProducesNoEvent) {
  // Baseline 3; sysfs then fails twice (-1 would look like a removal), comes
  // back unchanged, and finally a token arrives.
  plat.script_counts({3, -1, -1, 3});
  plat.set_count(4);
  const outcome o = wait_once();
  EXPECT_EQ(OS_DEV_EVENT_ARRIVED, o.event);
  EXPECT_EQ(5, plat.count_reads());
}

TEST_F(PresenceMonitor, UnreadableCountAtStartLeavesTheBaselineUnset) {
  plat.script_counts({-1, -1});
  plat.set_count(2);
  const outcome o = wait_once();
  EXPECT_EQ(OS_DEV_EVENT_ARRIVED, o.event);  // 2 devices against "unknown"
  EXPECT_EQ(2, rx::os::presence_snapshot().baseline);
}

TEST_F(PresenceMonitor, WaitMoreThanTenSecondsAfterTheLastEventReportsAttachedDevices) {
  plat.script_counts({3});
  plat.set_count(4);
  ASSERT_EQ(OS_DEV_EVENT_ARRIVED, wait_once().event);

  // Soon after: nothing changes until the count does.
  plat.script_counts({4});
  plat.set_count(3);
  EXPECT_EQ(OS_DEV_EVENT_REMOVED, wait_once().event);

  // Much later: the baseline is reset, so the three attached devices are an
  // arrival at the first poll.
  plat.advance(11000);
  const outcome o = wait_once();
  EXPECT_EQ(OS_DEV_EVENT_ARRIVED, o.event);
  EXPECT_EQ(3, rx::os::presence_snapshot().baseline);
}

TEST_F(PresenceMonitor, CancelEndsARunningWait) {
  plat.set_count(3);
  std::promise<void> polling;
  std::atomic<int> reads{0};
  plat.on_count([&](int) {
    // The first read takes the baseline; the second is a poll, which only
    // happens after the wait has cleared any earlier cancel request.
    if (reads.fetch_add(1) == 1) polling.set_value();
  });
  std::future<std::pair<int, int>> waiter = std::async(std::launch::async, [] {
    int event = -1;
    const int rc = os_waitfor_dev_event(k_criteria, &event);
    return std::make_pair(rc, event);
  });
  polling.get_future().wait();  // the wait is polling
  EXPECT_EQ(0, os_cancel_waitfor_dev_event());
  const auto r = waiter.get();
  EXPECT_EQ(0, r.first);
  EXPECT_EQ(OS_DEV_EVENT_CANCELLED, r.second);
  plat.on_count(nullptr);
}

TEST_F(PresenceMonitor, TimeTestUsesTheMonotonicPlatformClock) {
  EXPECT_TRUE(GetTimeInterval(10));  // first use: the load-time stamp is 0
  EXPECT_FALSE(GetTimeInterval(10));
  plat.advance(10000);
  EXPECT_FALSE(GetTimeInterval(10));  // strictly more than 10 s is needed
  plat.advance(1);
  EXPECT_TRUE(GetTimeInterval(10));
  EXPECT_EQ(plat.monotonic_ms(), rx::os::presence_snapshot().last_update_ms);
}


// The same monitor over the virtual token's bus: tokens plugged and pulled
// while a wait runs on another thread.
class PresenceOnBus : public vtok_fixture {
 protected:
  void SetUp() override {
    rx::os::presence_reset();
    vtok_fixture::SetUp();
  }
  void TearDown() override {
    vtok_fixture::TearDown();
    rx::os::presence_reset();
  }
  // Starts a wait, lets it take its baseline and poll once, then runs
  // `change` and returns the event.
  template <class Change>
  int event_after(Change change) {
    const uint64_t t0 = clock().now_ms();
    std::future<int> waiter = std::async(std::launch::async, [] {
      int event = -1;
      return os_waitfor_dev_event(k_criteria, &event) == 0 ? event : -1;
    });
    // The waiter's sleeps move the virtual clock; past 3 s it has polled.
    while (clock().now_ms() < t0 + 3000) std::this_thread::yield();
    change();
    return waiter.get();
  }
};

TEST_F(PresenceOnBus, PlugAndUnplugAreArrivalAndRemoval) {
  vtok::token_config second;
  second.serial = "SECOND";
  EXPECT_EQ(OS_DEV_EVENT_ARRIVED, event_after([&] { bus().plug(second); }));
  EXPECT_EQ(OS_DEV_EVENT_REMOVED, event_after([&] { bus().unplug("SECOND"); }));
  EXPECT_EQ(OS_DEV_EVENT_REMOVED, event_after([&] { bus().unplug(token().serial()); }));
}

}  // namespace
