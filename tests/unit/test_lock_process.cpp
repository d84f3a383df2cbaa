// Two processes calling through the token API's process lock at once: the
// second waits until the first one's call has returned. Ordering is shown
// by a shared pipe of events, and the second process is seen blocked in the
// kernel's lock table before the first one lets go.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "token_api/skf_call.h"
#include "transport/os_mutex.h"

namespace {

void emit(int fd, char c) { (void)!write(fd, &c, 1); }

// Whether /proc/locks lists `pid` as waiting for a flock.
bool waiting_in_flock(pid_t pid) {
  std::ifstream in("/proc/locks");
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("->") == std::string::npos || line.find("FLOCK") == std::string::npos) continue;
    std::istringstream fields(line.substr(line.find("->") + 2));
    std::string kind, adv, mode;
    long p = 0;
    if (fields >> kind >> adv >> mode >> p && p == pid) return true;
  }
  return false;
}

class TwoProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/rx-proclock-XXXXXX";
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

// Forks a process that calls through the lock while this one is inside its
// own call; returns the order of events and whether the other process was
// seen waiting in flock.
void run_pair(std::string* order, bool* seen_blocked) {
  int events[2], go[2];
  ASSERT_EQ(0, pipe(events));
  ASSERT_EQ(0, pipe(go));

  const pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    close(events[0]);
    close(go[1]);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(2);
    emit(events[1], 'w');  // about to call
    const ULONG rv = rx::skf::skf_call([&] {
      emit(events[1], 'b');  // inside its call
      return SAR_OK;
    });
    _exit(rv == SAR_OK ? 0 : 3);
  }
  close(go[0]);

  *seen_blocked = false;
  const ULONG rv = rx::skf::skf_call([&] {
    emit(events[1], 'a');
    emit(go[1], 'g');
    // Wait until the other process is queued on the lock file (bounded only
    // as a safety net; the test's verdict does not depend on time).
    for (long i = 0; i < 60000 && !*seen_blocked; ++i) {
      *seen_blocked = waiting_in_flock(other);
      if (!*seen_blocked) usleep(1000);
    }
    emit(events[1], 'r');  // returning
    return SAR_OK;
  });
  EXPECT_EQ(SAR_OK, rv);
  int status = 0;
  ASSERT_EQ(other, waitpid(other, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  close(events[1]);
  char c;
  while (read(events[0], &c, 1) == 1) *order += c;
  close(events[0]);
  close(go[1]);
}

TEST_F(TwoProcesses, SecondCallWaitsUntilTheFirstReturns) {
  std::string order;
  bool blocked = false;
  run_pair(&order, &blocked);
  EXPECT_TRUE(blocked) << "the second process never waited for the lock";
  EXPECT_EQ("awrb", order);
}

TEST_F(TwoProcesses, ChildForkedAfterEarlierCallsStillExcluded) {
  // The lock file is closed at the end of every call, so a child forked
  // between calls inherits no lock descriptor that would make its flock and
  // ours the same lock.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(SAR_OK, rx::skf::skf_call([] { return SAR_OK; }));
  std::string order;
  bool blocked = false;
  run_pair(&order, &blocked);
  EXPECT_TRUE(blocked);
  EXPECT_EQ("awrb", order);
}

}  // namespace
