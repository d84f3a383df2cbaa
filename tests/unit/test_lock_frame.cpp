// The calling frame of the exported token API functions: one lock per call,
// no nesting, no exception leaving the library, and the scoped release used
// by waits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "skf.h"
#include "token_api/skf_call.h"
#include "transport/os_mutex.h"

namespace {

using rx::skf::process_lock_held;
using rx::skf::skf_call;
using rx::skf::skf_call_unlocked;

class Frame : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/rx-frame-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    rx::os::set_lock_dir(dir_.c_str());
  }
  void TearDown() override {
    rx::os::set_lock_dir(nullptr);
    (void)!system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string dir_;
};

TEST_F(Frame, BodyRunsUnderTheProcessLockAndFileLock) {
  EXPECT_FALSE(process_lock_held());
  bool held = false, file = false;
  EXPECT_EQ(0x1234u, skf_call([&] {
              held = process_lock_held();
              file = gm_sc_mgr::g_mutex.file_locked();
              return 0x1234u;
            }));
  EXPECT_TRUE(held);
  EXPECT_TRUE(file);
  EXPECT_STREQ("Global\\q5gm_mutex", gm_sc_mgr::g_mutex.name());
  EXPECT_FALSE(process_lock_held());
  skf_call_unlocked([&] {
    held = process_lock_held();
    return SAR_OK;
  });
  EXPECT_FALSE(held);
}

TEST_F(Frame, ExceptionsBecomeResultCodesAndReleaseTheLock) {
  EXPECT_EQ(SAR_MEMORYERR, skf_call([]() -> ULONG { throw std::bad_alloc(); }));
  EXPECT_FALSE(process_lock_held());
  EXPECT_EQ(SAR_FAIL, skf_call([]() -> ULONG { throw std::runtime_error("x"); }));
  EXPECT_EQ(SAR_FAIL, skf_call([]() -> ULONG { throw 42; }));
  EXPECT_EQ(SAR_FAIL, skf_call_unlocked([]() -> ULONG { throw std::runtime_error("x"); }));
  EXPECT_FALSE(process_lock_held());
  EXPECT_EQ(SAR_OK, skf_call([] { return SAR_OK; }));  // still usable
}

TEST_F(Frame, ScopedReleaseLetsOthersInAndTakesTheLockBack) {
  skf_call([&] {
    {
      rx::skf::process_lock_released unlocked;
      EXPECT_FALSE(process_lock_held());
      // Another exported call can run meanwhile (here: on this thread).
      EXPECT_EQ(SAR_INVALIDHANDLEERR, SKF_CloseHandle(nullptr));
    }
    EXPECT_TRUE(process_lock_held());
    EXPECT_TRUE(gm_sc_mgr::g_mutex.file_locked());
    return SAR_OK;
  });
  EXPECT_FALSE(process_lock_held());
  rx::skf::process_lock_released noop;  // not held: does nothing
  EXPECT_FALSE(process_lock_held());
}

using FrameDeathTest = Frame;

TEST_F(FrameDeathTest, ExportedFunctionCalledFromInsideAnotherFailsLoudly) {
  const auto nested = [] { return skf_call([] { return SKF_CloseHandle(nullptr); }); };
#ifndef NDEBUG
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(nested(), "nested acquisition of the non-recursive lock \"Global.q5gm_mutex\"");
#else
  EXPECT_EQ(SAR_FAIL, nested());  // refused instead of a deadlock
  EXPECT_FALSE(process_lock_held());
#endif
}

}  // namespace
