// Two real processes share one token of the rx7100-vtoken service through
// the token API's process lock. Each runs challenge-then-use pairs (fetch a
// challenge, answer it with device authentication) inside one locked call:
// with the lock working, no pair is ever split by the other process, every
// authentication succeeds and the token's interleave counter stays 0.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/sm4.h"
#include "rx7100_app.h"
#include "rx7100_cmd.h"
#include "skf.h"
#include "token_api/gm_sc_mgr.h"
#include "token_api/skf_call.h"
#include "transport/os_mutex.h"
#include "transport/transport_reset.h"
#include "transport/vtoken_client_backend.h"
#include "vtoken_service_harness.h"

namespace {

const uint8_t kDefaultAuthKey[16] = {'5', '0', '9', '3', '8', '1', '7', '2',
                                     '4', '6', '0', '5', '9', '3', '8', '1'};
constexpr int kRounds = 25;

// One challenge-then-use pair: 0 when the token accepted the answer.
int challenge_and_answer(void* t) {
  uint8_t block[16] = {};
  if (app_gen_random(t, block, 8) != 0) return 1;
  uint8_t answer[16];
  if (!vtok::sm4_ecb(true, kDefaultAuthKey, block, sizeof block, answer)) return 1;
  return app_dev_auth(t, 0, answer, sizeof answer) == 0 ? 0 : 1;
}

// The body of one client process; its exit status is the number of failures.
[[noreturn]] void client_process(const std::string& dir, int start_fd) {
  char go = 0;
  (void)!read(start_fd, &go, 1);  // both processes start together
  rx::plat::vtoken_client_backend client(dir);
  rx::plat::set(&client);
  rx::transport::reset_state();
  int failures = 0;
  DEVHANDLE h = nullptr;
  char name[] = "LK1";
  if (SKF_ConnectDev(name, &h) != SAR_OK) _exit(100);
  void* t = gm_sc_mgr::get_dev_ptr()->get_dev_by_handle(h)->get_transport();
  for (int i = 0; i < kRounds; ++i) {
    ULONG rv = rx::skf::skf_call([&]() -> ULONG { return challenge_and_answer(t); });
    if (rv != 0) ++failures;
  }
  SKF_DisConnectDev(h);
  rx::plat::set(nullptr);
  _exit(failures);
}

TEST(LockThroughService, TwoProcessesNeverSplitAChallengeAndItsUse) {
  char tmpl[] = "/tmp/rx-lock-svc-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string lock_dir = tmpl;
  rx::os::set_lock_dir(lock_dir.c_str());

  vtsvc::service svc;
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_EQ("LK1", svc.plug({"--serial", "LK1"}));
  ASSERT_EQ(0, svc.cli({"stats", "LK1", "--reset"}).status);

  int start[2];
  ASSERT_EQ(0, pipe(start));
  pid_t pids[2];
  for (pid_t& pid : pids) {
    pid = fork();
    if (pid == 0) {
      close(start[1]);
      client_process(svc.dir(), start[0]);
    }
    ASSERT_GT(pid, 0);
  }
  close(start[0]);
  (void)!write(start[1], "gg", 2);
  close(start[1]);

  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "failed pairs in process " << pid;
  }

  const auto stats = svc.stats("LK1");
  // Each round is GenRandom + DevAuth; connecting adds its own commands.
  EXPECT_GE(stats.at("apdus"), 2 * 2 * kRounds);
  EXPECT_EQ(0, stats.at("interleaved")) << svc.cli({"log", "LK1"}).out;
  EXPECT_TRUE(svc.stop()) << svc.log();

  rx::os::set_lock_dir(nullptr);
  (void)!system(("rm -rf '" + lock_dir + "'").c_str());
}

}  // namespace
