// The library's own device layer (app_*) running unchanged over the
// service: RX7100_VTOKEN selects the client backend for the whole process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "rx7100_app.h"
#include "vtoken_service_harness.h"

namespace {

const char kCriteria[] =
    "rx7100,vid_7e3b&pid_db08|vid_7e3b&pid_e618|vid_7e3b&pid_f603,vid_7e3b&pid_e618|vid_7e3b&pid_f603";
const unsigned char kGenRandom[] = {0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08};

TEST(VtokenServiceApp, DevicesListConnectExchangeAndAnUnplugBecomes8003) {
  vtsvc::service svc;
  ASSERT_TRUE(svc.start()) << svc.log();
  svc.plug({"--serial", "APP-1", "--bus", "1", "--address", "5"});
  svc.plug({"--serial", "APP-2", "--bus", "1", "--address", "6"});
  // Read once, on the first use of the platform seam.
  ASSERT_EQ(::setenv("RX7100_VTOKEN", svc.dir().c_str(), 1), 0);

  ASSERT_EQ(app_enum_device(kCriteria), 2);
  std::set<std::string> paths;
  void* target = nullptr;
  void* h = nullptr;
  for (app_get_first_dev(&h, RX_DEV_STATE_INITIAL); h; app_get_next_dev(&h, RX_DEV_STATE_INITIAL)) {
    char path[256] = {0};
    ASSERT_EQ(app_dev_get_os_path(h, path), 0);
    paths.insert(path);
    if (std::string(path) == "hid_vid_7e3b&pid_e618&addr_0005") target = h;
  }
  EXPECT_EQ(paths, (std::set<std::string>{"hid_vid_7e3b&pid_e618&addr_0005", "hid_vid_7e3b&pid_e618&addr_0006"}));
  ASSERT_NE(target, nullptr);

  ASSERT_EQ(app_connect_device(target), 0);
  unsigned char resp[RX_MAX_RESPONSE];
  int len = sizeof resp;
  ASSERT_EQ(app_transmit(target, kGenRandom, sizeof kGenRandom, resp, &len), 0);
  ASSERT_EQ(len, 10);
  EXPECT_EQ(resp[8], 0x90);
  EXPECT_EQ(resp[9], 0x00);
  EXPECT_EQ(svc.stats("APP-1")["apdus"], 1);
  EXPECT_EQ(svc.stats("APP-2")["apdus"], 0);

  ASSERT_EQ(svc.cli({"unplug", "APP-1"}).status, 0);
  len = sizeof resp;
  EXPECT_EQ(app_transmit(target, kGenRandom, sizeof kGenRandom, resp, &len), 1);
  EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
  app_disconnect_device(target);
  EXPECT_TRUE(svc.stop()) << svc.log();
}

}  // namespace
