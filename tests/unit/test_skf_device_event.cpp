// SKF_WaitForDevEvent and SKF_CancelWaitForDevEvent over the virtual bus.
// The wait runs on another thread; the virtual clock lets its sleeps return
// at once. The backend reports each poll of the presence monitor, so a test
// plugs, unplugs or cancels only once the wait has taken its baseline and is
// polling: every outcome is decided by the order of events, not by time.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

#include "skf_device_test_env.h"

namespace {

using namespace std::string_literals;

// The in-process backend, reporting reads of the USB device count.
class counting_backend : public vtok::sim_backend {
 public:
  using vtok::sim_backend::sim_backend;
  int usb_device_count() override {
    const int n = vtok::sim_backend::usb_device_count();
    std::lock_guard<std::mutex> g(mu_);
    ++reads_;
    cv_.notify_all();
    return n;
  }
  // Starts counting reads from zero.
  void rearm() {
    std::lock_guard<std::mutex> g(mu_);
    reads_ = 0;
  }
  // Blocks until `n` reads happened since rearm().
  void await_reads(int n) {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return reads_ >= n; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int reads_ = 0;
};

struct wait_result {
  ULONG rv;
  std::string names;
  ULONG len;
  ULONG event;
};

class SkfDeviceEvent : public SkfDeviceTest {
 protected:
  void SetUp() override {
    SkfDeviceTest::SetUp();
    counting_ = std::make_unique<counting_backend>(bus(), clock(), 0);
    rx::plat::set(counting_.get());
  }
  void TearDown() override {
    SkfDeviceTest::TearDown();
    counting_.reset();
  }

  // Starts a wait with a buffer of `cap` bytes, lets the monitor take its
  // baseline and poll once, runs `change` and returns what the wait gave.
  template <class Change>
  wait_result wait_around(ULONG cap, Change change) {
    rx::os::presence_reset();  // the first read is the baseline
    counting_->rearm();
    std::future<wait_result> waiter = std::async(std::launch::async, [cap] {
      std::string buf(cap, '\x7f');
      wait_result r{};
      r.len = cap;
      r.event = 99;
      r.rv = SKF_WaitForDevEvent(&buf[0], &r.len, &r.event);
      r.names = buf;
      return r;
    });
    counting_->await_reads(2);  // baseline and the first poll
    change();
    return waiter.get();
  }

  std::unique_ptr<counting_backend> counting_;
};

TEST_F(SkfDeviceEvent, PlugReportsTheNewTokenByName) {
  plug("A1");
  enum_list();
  const wait_result r = wait_around(64, [&] { plug("B2"); });
  ASSERT_EQ(SAR_OK, r.rv);
  EXPECT_EQ(static_cast<ULONG>(DEV_EVENT_ARRIVED), r.event);
  EXPECT_EQ(4u, r.len);
  EXPECT_EQ("B2\0\0"s, r.names.substr(0, r.len));
  // Named by the wait: it connects at once.
  connect("B2");
}

TEST_F(SkfDeviceEvent, UnplugReportsTheRemovedToken) {
  plug("A1");
  plug("B2");
  enum_list();
  DEVHANDLE h = connect("A1");
  const wait_result r = wait_around(64, [&] { bus().unplug("A1"); });
  ASSERT_EQ(SAR_OK, r.rv);
  EXPECT_EQ(static_cast<ULONG>(DEV_EVENT_REMOVED), r.event);
  EXPECT_EQ("A1\0\0"s, r.names.substr(0, r.len));
  EXPECT_EQ(1, transport_devices());  // the record of A1 is gone
  DEVINFO info;
  EXPECT_NE(SAR_OK, SKF_GetDevInfo(h, &info));
}

TEST_F(SkfDeviceEvent, ShortBufferGetsTheLengthAndTheEventIsConsumed) {
  plug("A1");
  plug("B2");
  enum_list();
  // 1 byte, and exactly the list without its final NUL: both too small.
  for (ULONG cap : {1u, 3u}) {
    SCOPED_TRACE(cap);
    const std::string serial = cap == 1 ? "A1" : "B2";
    const wait_result r = wait_around(cap, [&] { bus().unplug(serial); });
    EXPECT_EQ(SAR_BUFFER_TOO_SMALL, r.rv);
    EXPECT_EQ(4u, r.len);
    EXPECT_EQ(std::string(cap, '\x7f'), r.names);  // nothing written, no NUL past the end
  }
  // The next wait reports only what happens next.
  const wait_result r = wait_around(64, [&] { plug("C3"); });
  ASSERT_EQ(SAR_OK, r.rv);
  EXPECT_EQ(static_cast<ULONG>(DEV_EVENT_ARRIVED), r.event);
  EXPECT_EQ("C3\0\0"s, r.names.substr(0, r.len));
  EXPECT_EQ(1, transport_devices());
}

TEST_F(SkfDeviceEvent, CancelEndsARunningWaitWithoutWritingAnything) {
  plug("A1");
  enum_list();
  const wait_result r = wait_around(16, [] { EXPECT_EQ(SAR_OK, SKF_CancelWaitForDevEvent()); });
  EXPECT_EQ(SAR_NOT_EVENTERR, r.rv);
  EXPECT_EQ(16u, r.len);
  EXPECT_EQ(99u, r.event);
  EXPECT_EQ(std::string(16, '\x7f'), r.names);
}

TEST_F(SkfDeviceEvent, OtherCallsRunWhileAWaitBlocks) {
  plug("A1");
  enum_list();
  const wait_result r = wait_around(16, [&] {
    DEVHANDLE h = connect("A1");  // would deadlock if the wait held the lock
    DEVINFO info;
    EXPECT_EQ(SAR_OK, SKF_GetDevInfo(h, &info));
    EXPECT_EQ(SAR_OK, SKF_CancelWaitForDevEvent());
  });
  EXPECT_EQ(SAR_NOT_EVENTERR, r.rv);
}

TEST_F(SkfDeviceEvent, UnusableCriteriaOrArgumentsFailAtOnce) {
  char saved[sizeof g_szDeviceID];
  std::memcpy(saved, g_szDeviceID, sizeof saved);
  std::strcpy(g_szDeviceID, "rx7100,vid_7e3b&pid_e618");  // two fields
  char buf[16];
  ULONG len = sizeof buf, event = 99;
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_WaitForDevEvent(buf, &len, &event));
  EXPECT_EQ(99u, event);
  std::memcpy(g_szDeviceID, saved, sizeof saved);

  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_WaitForDevEvent(nullptr, &len, &event));
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_WaitForDevEvent(buf, nullptr, &event));
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_WaitForDevEvent(buf, &len, nullptr));
}

}  // namespace
