// The token API's device functions through the rx7100-vtoken service: what a
// token keeps across a restart of the service (label, OEM information) and
// what it does not (device authentication).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "commands/sm4.h"
#include "rx7100_app.h"
#include "rx7100_cmd.h"
#include "skf.h"
#include "token_api/gm_sc_mgr.h"
#include "transport/os_mutex.h"
#include "transport/transport_reset.h"
#include "transport/vtoken_client_backend.h"
#include "vtoken_service_harness.h"

namespace {

using namespace std::string_literals;

const uint8_t kDefaultAuthKey[16] = {'5', '0', '9', '3', '8', '1', '7', '2',
                                     '4', '6', '0', '5', '9', '3', '8', '1'};

// One "process" of the library talking to the service: the client backend
// installed, and the library's process-wide state reset when it ends.
class library_session {
 public:
  explicit library_session(const std::string& dir) : client_(dir) {
    rx::plat::set(&client_);
    rx::transport::reset_state();
  }
  ~library_session() {
    gm_sc_mgr::get_dev_ptr()->clear();
    rx::transport::reset_state();
    rx::plat::set(nullptr);
  }
  std::string enum_list() {
    char buf[1024];
    ULONG size = sizeof buf;
    EXPECT_EQ(SAR_OK, SKF_EnumDev(TRUE, buf, &size));
    return std::string(buf, size);
  }

 private:
  rx::plat::vtoken_client_backend client_;
};

void* transport_of(DEVHANDLE h) { return gm_sc_mgr::get_dev_ptr()->get_dev_by_handle(h)->get_transport(); }

int authenticate(void* t) {
  uint8_t block[16] = {};
  if (app_gen_random(t, block, 8) != 0) return -1;
  uint8_t answer[16];
  if (!vtok::sm4_ecb(true, kDefaultAuthKey, block, sizeof block, answer)) return -1;
  return app_dev_auth(t, 0, answer, sizeof answer);
}

class SkfDeviceService : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/rx-skfsvc-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    lock_dir_ = tmpl;
    rx::os::set_lock_dir(lock_dir_.c_str());
    std::strcpy(g_szOEMID, "*");
  }
  void TearDown() override {
    std::strcpy(g_szOEMID, "*");
    rx::os::set_lock_dir(nullptr);
    (void)!system(("rm -rf '" + lock_dir_ + "'").c_str());
  }
  std::string lock_dir_;
};

TEST_F(SkfDeviceService, LabelAndOemSurviveARestartDeviceAuthenticationDoesNot) {
  vtsvc::service svc;
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_EQ("P1", svc.plug({"--serial", "P1", "--oem", "ACME", "--label", "first"}));
  ASSERT_EQ("P2", svc.plug({"--serial", "P2", "--oem", "OTHER"}));

  {
    library_session lib(svc.dir());
    std::strcpy(g_szOEMID, "ACME,XYZ");
    ASSERT_EQ("P1\0\0"s, lib.enum_list());
    DEVHANDLE h = nullptr;
    ASSERT_EQ(SAR_OK, SKF_ConnectDev(const_cast<char*>("P1"), &h));
    ASSERT_EQ(SAR_OK, SKF_SetLabel(h, const_cast<char*>("kept across restarts")));
    ASSERT_EQ(0, authenticate(transport_of(h)));
    // Authenticated: the key may be replaced (by the same key here).
    EXPECT_EQ(0, app_change_dev_auth_key(transport_of(h), 0, kDefaultAuthKey, 16));
  }

  ASSERT_TRUE(svc.stop()) << svc.log();
  ASSERT_TRUE(svc.start()) << svc.log();

  {
    library_session lib(svc.dir());
    std::strcpy(g_szOEMID, "ACME,XYZ");
    EXPECT_EQ("P1\0\0"s, lib.enum_list());  // the OEM information is still there
    DEVHANDLE h = nullptr;
    ASSERT_EQ(SAR_OK, SKF_ConnectDev(const_cast<char*>("P1"), &h));
    DEVINFO info;
    ASSERT_EQ(SAR_OK, SKF_GetDevInfo(h, &info));
    EXPECT_EQ("kept across restarts", std::string(info.Label, strnlen(info.Label, 32)));
    EXPECT_EQ(2, app_change_dev_auth_key(transport_of(h), 0, kDefaultAuthKey, 16));
    EXPECT_EQ(0x6982, get_last_sw());

    std::strcpy(g_szOEMID, "*");
    EXPECT_EQ("P1\0P2\0\0"s, lib.enum_list());
  }
  EXPECT_TRUE(svc.stop()) << svc.log();
}

TEST_F(SkfDeviceService, TwoTokensListedAndDescribedThroughTheService) {
  vtsvc::service svc;
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_EQ("A1", svc.plug({"--serial", "A1"}));
  ASSERT_EQ("B2", svc.plug({"--serial", "B2"}));
  library_session lib(svc.dir());
  ULONG size = 6;
  char buf[16];
  EXPECT_EQ(SAR_BUFFER_TOO_SMALL, SKF_EnumDev(TRUE, buf, &size));
  EXPECT_EQ(7u, size);
  EXPECT_EQ("A1\0B2\0\0"s, lib.enum_list());
  for (const char* name : {"A1", "B2"}) {
    DEVHANDLE h = nullptr;
    ASSERT_EQ(SAR_OK, SKF_ConnectDev(const_cast<char*>(name), &h));
    DEVINFO info;
    ASSERT_EQ(SAR_OK, SKF_GetDevInfo(h, &info));
    EXPECT_EQ(name, std::string(info.SerialNumber, strnlen(info.SerialNumber, 32)));
    EXPECT_EQ(1024u, ULONG{info.MaxBufferSize});
    EXPECT_EQ(1024, get_max_transmit_len());
    EXPECT_EQ(SAR_OK, SKF_DisConnectDev(h));
  }
}

}  // namespace
