// The HID control-channel transport against the virtual token: SET_REPORT /
// GET_REPORT on interface 0, timeouts, the back-off on empty reports and its
// deadline, claim retries, failures. Assertions read the transfer record.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "transport/hid_frame.h"
#include "transport/linux_device_hid_ctrio.h"
#include "transport/transport_reset.h"
#include "vtok_fixture.h"
#include "vtok_transport.h"

using vtok::fault_kind;
using vtok::transfer_entry;
using vtt::bytes;
using vtt::kind;

namespace {

class hidctr_transport : public ::testing::Test {
 protected:
  void SetUp() override {
    vtok::token_config cfg;
    cfg.transport = vtok::transport_kind::hidctr;
    env_ = std::make_unique<vtok_env>(/*plug_token=*/true, cfg);
    rx::transport::reset_state();
    vtt::add_echo(token());
    dev_ = std::make_unique<linux_device_hid_ctrio>(vtt::hidctr_path(token()).c_str());
  }
  void TearDown() override {
    dev_.reset();
    rx::transport::reset_state();
    env_.reset();
  }
  vtok::token& token() { return *env_->token; }
  vtok::virtual_clock& clock() { return env_->clock; }

  void open_and_clear() {
    ASSERT_EQ(dev_->open(), 0);
    ASSERT_TRUE(dev_->is_open());
    token().clear_record();
  }

  // device_io with a 2048-byte response buffer; the response on success.
  int exchange(const bytes& cmd, bytes* resp = nullptr) {
    bytes buf(2048);
    int len = static_cast<int>(buf.size());
    int r = dev_->device_io(cmd.data(), static_cast<int>(cmd.size()), buf.data(), &len);
    if (resp && r == 0) resp->assign(buf.begin(), buf.begin() + len);
    return r;
  }

  std::unique_ptr<vtok_env> env_;
  std::unique_ptr<linux_device_hid_ctrio> dev_;
};

TEST_F(hidctr_transport, OpenDetachesTheKernelDriverOfInterfaceZero) {
  ASSERT_EQ(dev_->open(), 0);
  EXPECT_EQ(dev_->get_device_type(), 1);
  auto drv = vtt::entries_of(token(), kind::kernel_driver);
  ASSERT_EQ(drv.size(), 2u);  // active?, detach
  EXPECT_EQ(drv[0].index, 0);
  EXPECT_EQ(drv[0].result, 1);
  EXPECT_EQ(drv[1].index, 0);
  EXPECT_EQ(drv[1].request, 1);
  EXPECT_EQ(drv[1].result, 0);
}

TEST_F(hidctr_transport, OpenOfAnAbsentPathLeavesNoHandle) {
  linux_device_hid_ctrio other("hidctr_vid_7e3b&pid_e618&addr_0077");
  EXPECT_EQ(other.open(), 0);
  EXPECT_FALSE(other.is_open());
  const bytes cmd = vtt::echo_apdu(10);
  EXPECT_EQ(other.send_data(cmd.data(), static_cast<int>(cmd.size())), 1);
}

// Every report travels as a class request to interface 0 with wValue 0 and
// a 64-byte data stage; the interface is claimed first and released last;
// no interrupt transfer happens.
TEST_F(hidctr_transport, ExchangeUsesSetReportAndGetReportOnInterfaceZero) {
  open_and_clear();
  const bytes cmd = vtt::echo_apdu(200);  // a 223-byte frame: 4 reports out
  bytes resp;
  ASSERT_EQ(exchange(cmd, &resp), 0);
  bytes expect = vtt::echo_data(cmd);
  expect.push_back(0x90);
  expect.push_back(0x00);
  EXPECT_EQ(resp, expect);

  const auto rec = token().record();
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(rec.front().what, kind::claim);
  EXPECT_EQ(rec.front().index, 0);
  EXPECT_EQ(rec.back().what, kind::release);
  EXPECT_EQ(rec.back().index, 0);
  EXPECT_TRUE(vtt::entries_of(token(), kind::interrupt_out).empty());
  EXPECT_TRUE(vtt::entries_of(token(), kind::interrupt_in).empty());

  const auto outs = vtt::entries_of(token(), kind::control_out);
  ASSERT_EQ(outs.size(), 4u);
  const uint8_t flags[] = {0xBF, 0x3F, 0x3F, 0x40 | (223 - 3 * 63)};
  for (size_t i = 0; i < outs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(outs[i].request_type, 0x21);
    EXPECT_EQ(outs[i].request, 0x09);
    EXPECT_EQ(outs[i].value, 0);
    EXPECT_EQ(outs[i].index, 0);
    ASSERT_EQ(outs[i].bytes.size(), 64u);
    EXPECT_EQ(outs[i].bytes[0], flags[i]);
  }
  EXPECT_EQ(outs[0].bytes[1], 0xFE);
  EXPECT_EQ(outs[0].bytes[2], 0x01);

  const auto ins = vtt::entries_of(token(), kind::control_in);
  ASSERT_FALSE(ins.empty());
  for (const auto& e : ins) {
    EXPECT_EQ(e.request_type, 0xA1);
    EXPECT_EQ(e.request, 0x01);
    EXPECT_EQ(e.value, 0);
    EXPECT_EQ(e.index, 0);
    EXPECT_EQ(e.result, 64);
  }
  EXPECT_NE(ins.back().bytes[0] & 0x40, 0) << "the last report ends the frame";
}

// Timeouts: 0 becomes 2000 ms for every report, out and in, and stays
// stored; any other value is used as it is.
TEST_F(hidctr_transport, ReportTimeoutsFollowTheCommunicationTimeout) {
  const struct {
    int comm;
    unsigned expect;
  } cases[] = {{0, 2000}, {30000, 30000}, {10000, 10000}};
  open_and_clear();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.comm);
    token().clear_record();
    dev_->set_comm_timeout(c.comm);
    ASSERT_EQ(exchange(vtt::echo_apdu(100)), 0);
    const auto outs = vtt::entries_of(token(), kind::control_out);
    const auto ins = vtt::entries_of(token(), kind::control_in);
    ASSERT_FALSE(outs.empty());
    ASSERT_FALSE(ins.empty());
    for (const auto& e : outs) EXPECT_EQ(e.timeout_ms, c.expect);
    for (const auto& e : ins) EXPECT_EQ(e.timeout_ms, c.expect);
    EXPECT_EQ(dev_->comm_timeout(), static_cast<int>(c.expect));
  }
}

// A read that starts with the communication timeout still 0 (nothing was
// sent since it was set) uses 20000 ms.
TEST_F(hidctr_transport, ReadWithTimeoutStillZeroUses20000) {
  open_and_clear();
  ASSERT_EQ(dev_->send_data(vtt::echo_apdu(10).data(), 10), 0);
  dev_->set_comm_timeout(0);
  bytes buf(2048);
  int len = 2048;
  ASSERT_EQ(dev_->receive_data(buf.data(), &len), 0);
  for (const auto& e : vtt::entries_of(token(), kind::control_in)) EXPECT_EQ(e.timeout_ms, 20000u);
}

// Ten empty reports before the answer: the waits after them, read from the
// record's times on the virtual clock, are 40, 60, ..., 200 and then 20 ms.
TEST_F(hidctr_transport, EmptyReportsBackOffInTwentyMillisecondSteps) {
  open_and_clear();
  token().arm_fault({fault_kind::empty_reports, 1, 10, 0});
  bytes resp;
  ASSERT_EQ(exchange(vtt::echo_apdu(10), &resp), 0);
  EXPECT_EQ(resp.size(), 3u + 2u);
  const auto ins = vtt::entries_of(token(), kind::control_in);
  ASSERT_GE(ins.size(), 11u);
  std::vector<uint64_t> waits;
  for (size_t i = 1; i <= 10; ++i) waits.push_back(ins[i].time_ms - ins[i - 1].time_ms);
  EXPECT_EQ(waits, (std::vector<uint64_t>{40, 60, 80, 100, 120, 140, 160, 180, 200, 20}));
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(ins[i].bytes[0], 0) << i;
}

// A token that only ever answers empty reports (its answer was lost) is
// given up after the reassembly deadline: 20000 ms at the default timeout,
// twice the report timeout above that.
TEST_F(hidctr_transport, OnlyEmptyReportsEndAtTheDeadline) {
  const struct {
    int comm;
    uint64_t budget;
  } cases[] = {{0, 20000}, {30000, 60000}};
  open_and_clear();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.comm);
    token().clear_record();
    token().arm_fault({fault_kind::drop_response, 1, 0, 0});
    dev_->set_comm_timeout(c.comm);
    const uint64_t start = clock().now_ms();
    EXPECT_EQ(exchange(vtt::echo_apdu(10)), 2);
    const uint64_t spent = clock().now_ms() - start;
    EXPECT_GE(spent, c.budget);
    EXPECT_LE(spent, c.budget + 200);
    EXPECT_EQ(token().record().back().what, kind::release);
  }
}

// Claiming: the first attempt and ten retries 20 ms apart, then the send
// fails; a token that is gone fails at once without waiting.
TEST_F(hidctr_transport, ClaimRetriesTenTimesThenFails) {
  open_and_clear();
  token().arm_fault({fault_kind::claim_busy, -1, 0, 0});
  const uint64_t start = clock().now_ms();
  const bytes cmd = vtt::echo_apdu(10);
  EXPECT_EQ(dev_->send_data(cmd.data(), 10), 1);
  const auto claims = vtt::entries_of(token(), kind::claim);
  ASSERT_EQ(claims.size(), 11u);
  for (size_t i = 1; i < claims.size(); ++i) EXPECT_EQ(claims[i].time_ms - claims[i - 1].time_ms, 20u);
  EXPECT_EQ(clock().now_ms() - start, 200u);
  EXPECT_TRUE(vtt::entries_of(token(), kind::control_out).empty());
  EXPECT_EQ(dev_->cmd_write_data(cmd.data(), 10), rx::plat::USB_ERROR_BUSY);
}

TEST_F(hidctr_transport, UnpluggedTokenFailsAtOnce) {
  open_and_clear();
  env_->bus.unplug(token().serial());
  const uint64_t start = clock().now_ms();
  const bytes cmd = vtt::echo_apdu(10);
  EXPECT_EQ(dev_->cmd_write_data(cmd.data(), 10), 1);
  EXPECT_EQ(dev_->send_data(cmd.data(), 10), 1);
  EXPECT_EQ(clock().now_ms(), start);
}

// A stalled control request fails the send or the receive and leaves the
// interface released.
TEST_F(hidctr_transport, StalledControlRequestsFailAndRelease) {
  const struct {
    fault_kind fault;
    int result;
  } cases[] = {{fault_kind::control_out_fail, 1}, {fault_kind::control_in_fail, 2}};
  open_and_clear();
  for (const auto& c : cases) {
    SCOPED_TRACE(vtok::to_string(c.fault));
    token().clear_record();
    token().arm_fault({c.fault, 1, 0, 0});
    EXPECT_EQ(exchange(vtt::echo_apdu(10)), c.result);
    EXPECT_EQ(token().record().back().what, kind::release);
  }
  EXPECT_EQ(dev_->cmd_write(nullptr, 0, true, true), 0);
  token().arm_fault({fault_kind::control_out_fail, 1, 0, 0});
  EXPECT_EQ(dev_->cmd_write(nullptr, 0, true, true), 3);
  EXPECT_EQ(dev_->cmd_write(nullptr, 64, true, true), 1);
}

// The response checks are those of the HID transport.
TEST_F(hidctr_transport, BadResponseFramesAreRejected) {
  const struct {
    fault_kind fault;
    int result;
  } cases[] = {
      {fault_kind::bad_signature, rx::hid::RECV_NO_SIGNATURE},
      {fault_kind::header_length_too_big, rx::hid::RECV_HEADER_LENGTH},
      {fault_kind::bad_tag, rx::hid::RECV_BAD_TAG},
      {fault_kind::declared_length_long, rx::hid::RECV_DATA_LENGTH},
  };
  open_and_clear();
  const bytes cmd = vtt::echo_apdu(10);
  for (const auto& c : cases) {
    SCOPED_TRACE(vtok::to_string(c.fault));
    token().arm_fault({c.fault, 1, 0, 0});
    ASSERT_EQ(dev_->send_data(cmd.data(), 10), 0);
    bytes buf(2048);
    int len = 2048;
    EXPECT_EQ(dev_->receive_data(buf.data(), &len), c.result);
  }
  // A response larger than the caller's buffer is not copied over it.
  ASSERT_EQ(dev_->send_data(cmd.data(), 10), 0);
  bytes small(4);
  int len = 4;
  EXPECT_EQ(dev_->receive_data(small.data(), &len), rx::hid::RECV_DATA_LENGTH);
}

// Raw reports go out as interrupt transfers on endpoint 0x01 of interface
// 0, which is claimed for the transfer and released after it; data beyond
// the 44 bytes one report carries is refused before anything is sent.
TEST_F(hidctr_transport, RawReportsClaimSendAndRelease) {
  open_and_clear();
  const uint8_t cdb[16] = {0xFC, 0x07, 0xAA};
  const bytes name(44, 'n');
  ASSERT_EQ(dev_->send_raw_data(cdb, 16, name.data(), 44), 0);
  auto rec = token().record();
  ASSERT_GE(rec.size(), 3u);
  EXPECT_EQ(rec.front().what, kind::claim);
  EXPECT_EQ(rec.back().what, kind::release);
  const auto outs = vtt::entries_of(token(), kind::interrupt_out);
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(outs[0].endpoint, 0x01);
  EXPECT_EQ(outs[0].bytes[0], 0xFC);
  EXPECT_EQ(outs[0].bytes[16], 44);
  EXPECT_EQ(outs[0].bytes[63], 'n');

  token().clear_record();
  const bytes longer(45, 'n');
  EXPECT_EQ(dev_->send_raw_data(cdb, 16, longer.data(), 45), 1);
  EXPECT_TRUE(token().record().empty());
}

}  // namespace
