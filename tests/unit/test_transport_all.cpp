// One exchange story told over the three transports: discovery with the
// default criteria, connect, short and long APDUs through app_transmit,
// then an unplug. Each transport must carry the traffic on its own channel
// (interrupt reports, class control requests, SG_IO) and nothing else.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "rx7100_app.h"
#include "transport/device_discover.h"
#include "transport/device_manager.h"
#include "transport/transport_reset.h"
#include "vtok_fixture.h"
#include "vtok_transport.h"

using vtok::transport_kind;
using vtt::bytes;
using vtt::kind;

namespace {

struct transport_case {
  const char* name;
  transport_kind transport;
  int device_type;
  const char* path_prefix;
};

class all_transports : public ::testing::TestWithParam<transport_case> {
 protected:
  void SetUp() override {
    env_ = std::make_unique<vtok_env>(/*plug_token=*/false);
    rx::transport::reset_state();
    vtok::token_config cfg;
    cfg.transport = GetParam().transport;
    token_ = &env_->bus.plug(cfg);
    vtt::add_echo(*token_);
  }
  void TearDown() override {
    rx::transport::reset_state();
    env_.reset();
  }

  std::unique_ptr<vtok_env> env_;
  vtok::token* token_ = nullptr;
};

TEST_P(all_transports, DiscoverConnectExchangeUnplug) {
  ASSERT_EQ(app_enum_device(kRxDefaultDeviceCriteria), 1);
  void* h = nullptr;
  ASSERT_NE(app_get_first_dev(&h, RX_DEV_STATE_INITIAL), nullptr);
  ASSERT_NE(h, nullptr);
  void* next = h;
  EXPECT_EQ(app_get_next_dev(&next, RX_DEV_STATE_INITIAL), nullptr) << "exactly one device";
  int type = -1;
  ASSERT_EQ(app_get_dev_type(h, &type), 0);
  EXPECT_EQ(type, GetParam().device_type);
  device_base* dev = os_selector::get_device_discover()->get_device(0);
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(std::string(dev->get_dev_path()).rfind(GetParam().path_prefix, 0), 0u)
      << dev->get_dev_path();
  ASSERT_EQ(app_connect_device(h), 0);
  token_->reset_stats();

  for (int size : {10, 1007}) {
    SCOPED_TRACE(size);
    const bytes cmd = vtt::echo_apdu(size);
    bytes resp(RX_MAX_RESPONSE);
    int len = static_cast<int>(resp.size());
    ASSERT_EQ(app_transmit(h, cmd.data(), static_cast<int>(cmd.size()), resp.data(), &len), RX_APP_OK);
    resp.resize(static_cast<size_t>(len));
    bytes expect = vtt::echo_data(cmd);
    expect.push_back(0x90);
    expect.push_back(0x00);
    EXPECT_EQ(resp, expect);
  }

  const vtok::token_stats st = token_->stats();
  EXPECT_EQ(st.apdus, 2u);
  const bool hid = GetParam().transport == transport_kind::hid;
  const bool ctr = GetParam().transport == transport_kind::hidctr;
  const bool scsi = GetParam().transport == transport_kind::scsi;
  EXPECT_EQ(st.reports_out > 0, hid);
  EXPECT_EQ(st.reports_in > 0, hid);
  EXPECT_EQ(st.control_out > 0, ctr);
  EXPECT_EQ(st.control_in > 0, ctr);
  EXPECT_EQ(st.sg_commands, scsi ? 4u : 0u);  // one write and one read per APDU

  env_->bus.unplug(token_->serial());
  const bytes cmd = vtt::echo_apdu(10);
  bytes resp(RX_MAX_RESPONSE);
  int len = static_cast<int>(resp.size());
  EXPECT_EQ(app_transmit(h, cmd.data(), static_cast<int>(cmd.size()), resp.data(), &len),
            RX_APP_EXCHANGE_FAILED);
  EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
}

INSTANTIATE_TEST_SUITE_P(
    transports, all_transports,
    ::testing::Values(transport_case{"hid", transport_kind::hid, 1, "hid_"},
                      transport_case{"hidctr", transport_kind::hidctr, 1, "hidctr_"},
                      transport_case{"scsi", transport_kind::scsi, 0, "/dev/sg"}),
    [](const ::testing::TestParamInfo<transport_case>& i) { return std::string(i.param.name); });

}  // namespace
