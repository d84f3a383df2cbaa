// Shared set-up of the token API device tests: a private lock directory, the
// in-process virtual token with no token plugged, and the process-wide
// state (transport, device objects, presence monitor, OEM filter, transmit
// length) back at its load-time values around each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rx7100_app.h"
#include "skf.h"
#include "token_api/gm_sc_mgr.h"
#include "transport/os_mutex.h"
#include "transport/os_presence.h"
#include "transport/transport_reset.h"
#include "vtok_fixture.h"

class SkfDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/rx-skfdev-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    rx::os::set_lock_dir(dir_.c_str());
    env_ = std::make_unique<vtok_env>(false);
    rx::transport::reset_state();
    rx::os::presence_reset();
    std::strcpy(g_szOEMID, "*");
    set_max_transmit_len(1024);
  }
  void TearDown() override {
    gm_sc_mgr::get_dev_ptr()->clear();
    rx::transport::reset_state();
    rx::os::presence_reset();
    rx::plat::set(nullptr);
    env_.reset();
    std::strcpy(g_szOEMID, "*");
    rx::os::set_lock_dir(nullptr);
    (void)!system(("rm -rf '" + dir_ + "'").c_str());
  }

  vtok::virtual_bus& bus() { return env_->bus; }
  vtok::virtual_clock& clock() { return env_->clock; }
  vtok_env& env() { return *env_; }

  vtok::token& plug(const std::string& serial, std::vector<uint8_t> oem = {}) {
    vtok::token_config c;
    c.serial = serial;
    c.oem = std::move(oem);
    return bus().plug(c);
  }

  // SKF_EnumDev with a large buffer; the list as returned (with its NULs).
  std::string enum_list() {
    char buf[4096];
    ULONG size = sizeof buf;
    EXPECT_EQ(SAR_OK, SKF_EnumDev(TRUE, buf, &size));
    return std::string(buf, size);
  }

  DEVHANDLE connect(const char* name) {
    DEVHANDLE h = nullptr;
    EXPECT_EQ(SAR_OK, SKF_ConnectDev(const_cast<char*>(name), &h)) << name;
    return h;
  }

  // Devices in the command layer's list (any state).
  static int transport_devices() {
    int n = 0;
    void* h = nullptr;
    for (app_get_first_dev(&h, RX_DEV_STATE_INITIAL); h; app_get_next_dev(&h, RX_DEV_STATE_INITIAL)) ++n;
    return n;
  }

  std::unique_ptr<vtok_env> env_;

 private:
  std::string dir_;
};

inline std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }
