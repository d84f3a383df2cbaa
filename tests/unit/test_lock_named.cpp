// The named lock inside one process: lock file names, creation mode, the
// read-only fallback, lock files that are never deleted, no leaked
// descriptors, and the refusal of nested acquisition.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "transport/os_mutex.h"
#include "transport/vk_mutex.h"

namespace {

class LockDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/rx-lock-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    ASSERT_EQ(0, chmod(dir_.c_str(), 0777));
    rx::os::set_lock_dir(dir_.c_str());
  }
  void TearDown() override {
    rx::os::set_lock_dir(nullptr);
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)!system(cmd.c_str());
  }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }
  bool exists(const std::string& name) const {
    struct stat st;
    return lstat(file(name).c_str(), &st) == 0;
  }
  static int open_fd_count() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) ++n;
    closedir(d);
    return n;
  }

  std::string dir_;
};

TEST(LockName, GlobalPrefixIsAddedOnlyWhenMissing) {
  struct row {
    const char* in;
    const char* out;
  };
  const row rows[] = {
      {"q5gm_mutex", "Global\\q5gm_mutex"},
      {"Global\\q5gm_mutex", "Global\\q5gm_mutex"},
      {"Global\\ZERora11Ridev_*", "Global\\ZERora11Ridev_*"},
      {"xGlobal\\y", "xGlobal\\y"},  // contained anywhere counts
      {"", "Global\\"},
  };
  for (const row& r : rows) {
    char out[256];
    vk_make_lock_name(r.in, out, sizeof out);
    EXPECT_STREQ(r.out, out) << r.in;
  }
  char small[10];
  vk_make_lock_name("abcdefghijkl", small, sizeof small);
  EXPECT_STREQ("Global\\ab", small);  // bounded and terminated
}

TEST_F(LockDir, GuardLocksTheFileOfTheFullName) {
  for (const char* name : {"q5gm_mutex", "Global\\q5gm_mutex"}) {
    vk_mutex m;
    {
      vk_auto_mutex g(&m, name);
      ASSERT_TRUE(g.owns());
      EXPECT_TRUE(m.file_locked());
      EXPECT_STREQ("Global\\q5gm_mutex", m.name());
      // Another open file description of the same file cannot take it.
      const int fd = open(file("Global\\q5gm_mutex").c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      EXPECT_NE(0, flock(fd, LOCK_EX | LOCK_NB));
      close(fd);
    }
    const int fd = open(file("Global\\q5gm_mutex").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, flock(fd, LOCK_EX | LOCK_NB)) << "released by the guard";
    close(fd);
  }
}

TEST_F(LockDir, LockFileIsCreatedLockableByEveryUserWhateverTheUmask) {
  const mode_t old = umask(077);
  os_file_lock* m = mutex_create();
  ASSERT_EQ(0, mutex_init(m, "Global\\perm"));
  umask(old);
  struct stat st;
  ASSERT_EQ(0, stat(file("Global\\perm").c_str(), &st));
  EXPECT_EQ(0666u, st.st_mode & 0777u);
  EXPECT_EQ(0, mutex_destroy(m));
}

TEST_F(LockDir, DestroyNeverDeletesTheLockFile) {
  // Deleting it would let a process that still holds the old file and one
  // that creates a new file both "hold" the lock. This also holds for root.
  os_file_lock* a = mutex_create();
  os_file_lock* b = mutex_create();
  ASSERT_EQ(0, mutex_init(a, "Global\\keep"));
  ASSERT_EQ(0, mutex_init(b, "Global\\keep"));
  ASSERT_EQ(0, mutex_lock(a, -1));
  EXPECT_EQ(0, mutex_destroy(b));
  EXPECT_TRUE(exists("Global\\keep"));
  // Whoever opens the name now still meets a's lock.
  const int fd = open(file("Global\\keep").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_NE(0, flock(fd, LOCK_EX | LOCK_NB));
  close(fd);
  EXPECT_EQ(0, mutex_unlock(a));
  EXPECT_EQ(0, mutex_destroy(a));
  EXPECT_TRUE(exists("Global\\keep"));
}

TEST_F(LockDir, FileWeMayNotWriteIsOpenedReadOnlyAndStillLocks) {
  // A lock file left by another user with mode 0644. Run as an unprivileged
  // user in a child so that permissions apply even when the test runs as root.
  const std::string path = file("Global\\theirs");
  {
    const int fd = open(path.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    fchmod(fd, 0644);
    close(fd);
  }
  if (geteuid() != 0) {
    ASSERT_EQ(0, chmod(path.c_str(), 0444));
  }
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    if (open(path.c_str(), O_RDWR) >= 0) _exit(11);  // the fixture is wrong
    os_file_lock* m = mutex_create();
    if (mutex_init(m, "Global\\theirs") != 0) _exit(12);
    if (mutex_lock(m, -1) != 0) _exit(13);
    // Held: a second description cannot take it.
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) == 0) _exit(14);
    if (mutex_unlock(m) != 0) _exit(15);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) _exit(16);
    mutex_destroy(m);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(LockDir, UnusableNamesAreRefused) {
  const std::string too_long(300, 'n');
  for (const char* name : {static_cast<const char*>(nullptr), "", "Global\\../escape",
                           "a/b", too_long.c_str()}) {
    os_file_lock* m = mutex_create();
    EXPECT_EQ(1, mutex_init(m, name)) << (name ? name : "(null)");
    EXPECT_FALSE(mutex_is_initialised(m));
    EXPECT_EQ(1, mutex_lock(m, -1));  // never reports a lock it does not hold
    EXPECT_EQ(0, mutex_destroy(m));
  }
  EXPECT_FALSE(exists("escape"));
}

TEST_F(LockDir, SymbolicLinkIsNotFollowed) {
  const std::string target = file("target");
  ASSERT_EQ(0, symlink(target.c_str(), file("Global\\link").c_str()));
  os_file_lock* m = mutex_create();
  EXPECT_EQ(1, mutex_init(m, "Global\\link"));
  EXPECT_EQ(0, mutex_destroy(m));
  EXPECT_FALSE(exists("target"));
}

TEST_F(LockDir, WithoutALockFileTheThreadMutexAloneProtects) {
  rx::os::set_lock_dir("/nonexistent-rx-lock-dir");
  vk_mutex m;
  vk_auto_mutex g(&m, "q5gm_mutex");
  EXPECT_TRUE(g.owns());
  EXPECT_FALSE(m.file_locked());
  EXPECT_TRUE(m.held_by_current_thread());
}

TEST_F(LockDir, RepeatedAcquisitionsLeakNoDescriptor) {
  vk_mutex m;
  { vk_auto_mutex warm(&m, "q5gm_mutex"); }
  const int before = open_fd_count();
  for (int i = 0; i < 200; ++i) {
    vk_auto_mutex g(&m, "q5gm_mutex");
    ASSERT_TRUE(m.file_locked());
  }
  EXPECT_EQ(before, open_fd_count());
  EXPECT_FALSE(m.held_by_current_thread());
}

TEST_F(LockDir, EnvironmentVariableChoosesTheDirectoryWhenNoOverride) {
  rx::os::set_lock_dir(nullptr);
  setenv("RX7100_LOCK_DIR", dir_.c_str(), 1);
  EXPECT_EQ(dir_ + "/", rx::os::lock_dir());
  unsetenv("RX7100_LOCK_DIR");
  EXPECT_EQ("/var/tmp/", rx::os::lock_dir());
  rx::os::set_lock_dir(dir_.c_str());
}

using LockNestingDeathTest = LockDir;

TEST_F(LockNestingDeathTest, NestedAcquisitionFailsLoudlyInsteadOfHanging) {
  static vk_mutex m;
  const auto nested = [] {
    vk_auto_mutex outer(&m, "q5gm_mutex");
    vk_auto_mutex inner(&m, "q5gm_mutex");
    return inner.owns();
  };
#ifndef NDEBUG
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(nested(), "nested acquisition");
#else
  EXPECT_FALSE(nested());  // refused, no deadlock
  vk_auto_mutex again(&m, "q5gm_mutex");
  EXPECT_TRUE(again.owns());  // and the outer release left it usable
#endif
}

}  // namespace
