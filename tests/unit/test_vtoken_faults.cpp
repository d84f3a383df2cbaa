// Each injected fault once, through the in-process backend: what the host
// sees, and that the token behaves normally once the fault is used up.
#include <gtest/gtest.h>

#include <functional>

#include "vtok_fixture.h"
#include "vtok_hid_host.h"

using namespace rx::plat;
using namespace vtok_test;

namespace {

// One GenRandom(8) exchange with a hand-built host: the libusb results and
// the reassembled response frame.
struct exchange {
  int send_rc = 0;
  int read_rc = 0;
  std::vector<uint8_t> frame;
  std::vector<report> reports;
};

exchange run_once(hid_host& h) {
  exchange x;
  x.send_rc = h.send_frame(request_frame(apdu2e(0x80, 0x50, 0, 0, 8)));
  if (x.send_rc == 0) x.read_rc = h.read_frame(&x.frame, &x.reports, 64, 500);
  return x;
}

struct fault_case {
  const char* name;
  vtok::fault_spec fault;
  std::function<void(const exchange&)> check;
};

size_t declared(const exchange& x) { return (static_cast<size_t>(x.frame[21]) << 8) | x.frame[22]; }

}  // namespace

class vtoken_fault : public ::testing::TestWithParam<fault_case> {};

TEST_P(vtoken_fault, AppliesOnceThenTheTokenRecovers) {
  vtok_env env;
  hid_host h(env.backend);
  ASSERT_TRUE(h.ok());
  env.token->arm_fault(GetParam().fault);
  const exchange bad = run_once(h);
  GetParam().check(bad);
  // Used up: the next exchange is clean.
  env.token->reset_stats();
  const exchange good = run_once(h);
  ASSERT_EQ(good.send_rc, 0);
  ASSERT_EQ(good.read_rc, 0);
  ASSERT_EQ(good.frame.size(), 23u + 10);
  EXPECT_EQ(good.frame[0], 0xAA);
  EXPECT_EQ(good.frame[23 + 8], 0x90);
}

INSTANTIATE_TEST_SUITE_P(
    kinds, vtoken_fault,
    ::testing::Values(
        fault_case{"read_timeout",
                   {vtok::fault_kind::read_timeout, 1},
                   [](const exchange& x) { EXPECT_EQ(x.read_rc, USB_ERROR_TIMEOUT); }},
        fault_case{"drop_response",
                   {vtok::fault_kind::drop_response, 1},
                   [](const exchange& x) {
                     EXPECT_EQ(x.send_rc, 0);
                     EXPECT_EQ(x.read_rc, USB_ERROR_TIMEOUT);
                   }},
        fault_case{"bad_signature",
                   {vtok::fault_kind::bad_signature, 1},
                   [](const exchange& x) {
                     ASSERT_EQ(x.read_rc, 0);
                     EXPECT_NE(x.frame[0], 0xAA);
                     EXPECT_NE(x.frame[1], 0xAA);
                   }},
        fault_case{"header_length_too_big",
                   {vtok::fault_kind::header_length_too_big, 1},
                   [](const exchange& x) {
                     ASSERT_EQ(x.read_rc, 0);
                     EXPECT_GT(x.frame[2] | (x.frame[3] << 8), 1076);
                   }},
        fault_case{"bad_tag",
                   {vtok::fault_kind::bad_tag, 1},
                   [](const exchange& x) {
                     ASSERT_EQ(x.read_rc, 0);
                     EXPECT_NE(x.frame[20], 0x12);
                   }},
        fault_case{"declared_length_long",
                   {vtok::fault_kind::declared_length_long, 1, 100},
                   [](const exchange& x) {
                     ASSERT_EQ(x.read_rc, 0);
                     EXPECT_EQ(x.frame.size(), 23u + 10);
                     EXPECT_EQ(declared(x), 110u);
                   }},
        fault_case{"empty_reports",
                   {vtok::fault_kind::empty_reports, 1, 3},
                   [](const exchange& x) {
                     ASSERT_EQ(x.read_rc, 0);
                     ASSERT_EQ(x.reports.size(), 4u);
                     for (int i = 0; i < 3; ++i) EXPECT_EQ(x.reports[i], report{});
                     EXPECT_EQ(x.frame.size(), 23u + 10);
                   }},
        fault_case{"force_sw",
                   {vtok::fault_kind::force_sw, 1, 0x50, 0x6982},
                   [](const exchange& x) {
                     ASSERT_EQ(x.read_rc, 0);
                     ASSERT_EQ(x.frame.size(), 25u);
                     EXPECT_EQ(x.frame[23], 0x69);
                     EXPECT_EQ(x.frame[24], 0x82);
                   }}),
    [](const ::testing::TestParamInfo<fault_case>& i) { return i.param.name; });

TEST(vtoken_faults, NoDeviceMidFrameHitsTheContinuationReport) {
  vtok_env env;
  hid_host h(env.backend);
  env.token->arm_fault({vtok::fault_kind::no_device_mid_frame, 1});
  const auto reports = frame_reports(request_frame(apdu3e(0x80, 0x50, 0, 0, std::vector<uint8_t>(80))));
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(h.send_report(reports[0]), 0);
  EXPECT_EQ(h.send_report(reports[1]), USB_ERROR_NO_DEVICE);
  // The partial frame is gone: nothing is answered.
  std::vector<uint8_t> f;
  EXPECT_EQ(h.read_frame(&f, nullptr, 4, 10), USB_ERROR_TIMEOUT);
  EXPECT_TRUE(env.token->plugged());
}

TEST(vtoken_faults, ForceSwOnlyHitsItsInstructionAndCountsCommands) {
  vtok_env env;
  hid_host h(env.backend);
  env.token->arm_fault({vtok::fault_kind::force_sw, 2, 0x50, 0x6A80});
  EXPECT_EQ(sw_of(h.transmit(apdu1(0x80, 0x77, 0, 0))), 0x6D00);  // other INS untouched
  EXPECT_EQ(sw_of(h.transmit(apdu2e(0x80, 0x50, 0, 0, 8))), 0x6A80);
  EXPECT_EQ(sw_of(h.transmit(apdu2e(0x80, 0x50, 0, 0, 8))), 0x6A80);
  EXPECT_EQ(sw_of(h.transmit(apdu2e(0x80, 0x50, 0, 0, 8))), 0x9000);
}

TEST(vtoken_faults, NegativeCountStaysArmedUntilCleared) {
  vtok_env env;
  hid_host h(env.backend);
  env.token->arm_fault({vtok::fault_kind::bad_tag, -1});
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(h.transmit(apdu2e(0x80, 0x50, 0, 0, 8)).empty());
  env.token->clear_faults();
  EXPECT_EQ(sw_of(h.transmit(apdu2e(0x80, 0x50, 0, 0, 8))), 0x9000);
}
