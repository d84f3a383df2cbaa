// The HID transport against the in-process virtual token. The
// assertions read the token's transfer record.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "card_os.h"
#include "sim_backend.h"
#include "transport/hid_frame.h"
#include "transport/hid_usb.h"
#include "transport/linux_device_hid.h"
#include "transport/transport_reset.h"
#include "vtok_fixture.h"
#include "vtok_hid_host.h"

using vtok::fault_kind;
using vtok::transfer_entry;
using kind = vtok::transfer_entry::kind;

namespace {

std::string path_of(const vtok::token& t) {
  char p[64];
  std::snprintf(p, sizeof(p), "hid_vid_%04x&pid_%04x&addr_%04x", t.vid(), t.pid(), t.address());
  return p;
}

std::vector<transfer_entry> of_kind(const vtok::token& t, kind k) {
  std::vector<transfer_entry> out;
  for (const auto& e : t.record())
    if (e.what == k) out.push_back(e);
  return out;
}

// A case-3E APDU of exactly `total` bytes (INS EE: the echo handler).
std::vector<uint8_t> apdu_of_size(int total) {
  std::vector<uint8_t> a = {0x80, 0xEE, 0x00, 0x00, 0x00};
  int n = total - 7;
  a.push_back(static_cast<uint8_t>(n >> 8));
  a.push_back(static_cast<uint8_t>(n));
  for (int i = 0; i < n; ++i) a.push_back(static_cast<uint8_t>(i));
  return a;
}

class hid_transport : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<vtok_env>();
    rx::transport::reset_state();
    token().os().register_handler(0x80, 0xEE, [](vtok::card_os&, const vtok::command& c) {
      vtok::response r;
      r.data = c.data;
      return r;
    });
    dev_ = std::make_unique<linux_device_hid>(path_of(token()).c_str());
  }
  void TearDown() override {
    dev_.reset();
    rx::transport::reset_state();
    env_.reset();
  }
  vtok::token& token() { return *env_->token; }
  vtok::virtual_clock& clock() { return env_->clock; }

  // One full exchange; returns device_io's result and the response.
  int exchange(const std::vector<uint8_t>& cmd, std::vector<uint8_t>* resp = nullptr) {
    std::vector<uint8_t> buf(2048);
    int len = static_cast<int>(buf.size());
    int r = dev_->device_io(cmd.data(), static_cast<int>(cmd.size()), buf.data(), &len);
    if (resp && r == 0) resp->assign(buf.begin(), buf.begin() + len);
    return r;
  }

  std::unique_ptr<vtok_env> env_;
  std::unique_ptr<linux_device_hid> dev_;
};

TEST_F(hid_transport, OpenDetachesKernelDriverAndFindsEndpoints) {
  ASSERT_EQ(dev_->open(), 0);
  EXPECT_TRUE(dev_->is_open());
  EXPECT_EQ(dev_->get_device_type(), 1);
  EXPECT_EQ(dev_->interface_index(), 0);
  EXPECT_EQ(dev_->in_endpoint(), 0x81);
  EXPECT_EQ(dev_->out_endpoint(), 0x01);
  EXPECT_FALSE(of_kind(token(), kind::open).empty());
  EXPECT_FALSE(of_kind(token(), kind::kernel_driver).empty());
}

TEST_F(hid_transport, EchoRoundTripAndClaimRelease) {
  ASSERT_EQ(dev_->open(), 0);
  token().clear_record();
  std::vector<uint8_t> resp;
  ASSERT_EQ(exchange(apdu_of_size(10), &resp), 0);
  ASSERT_EQ(resp.size(), 3u + 2u);
  EXPECT_EQ(resp[0], 0);
  EXPECT_EQ(resp[3], 0x90);
  EXPECT_EQ(resp[4], 0x00);
  auto rec = token().record();
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(rec.front().what, kind::claim);
  EXPECT_EQ(rec.back().what, kind::release);
}

struct framing_case {
  int command_len;
  std::vector<uint8_t> flag_bytes;
};

class hid_framing : public hid_transport, public ::testing::WithParamInterface<framing_case> {};

TEST_P(hid_framing, ReportsAndFlags) {
  ASSERT_EQ(dev_->open(), 0);
  token().clear_record();
  auto cmd = apdu_of_size(GetParam().command_len);
  ASSERT_EQ(dev_->send_data(cmd.data(), static_cast<int>(cmd.size())), 0);
  auto outs = of_kind(token(), kind::interrupt_out);
  ASSERT_EQ(outs.size(), GetParam().flag_bytes.size());
  for (size_t i = 0; i < outs.size(); ++i) {
    ASSERT_EQ(outs[i].bytes.size(), 64u);
    EXPECT_EQ(outs[i].bytes[0], GetParam().flag_bytes[i]) << "report " << i;
    EXPECT_EQ(outs[i].endpoint, 0x01);
  }
  // Header of the request frame in the first report.
  const auto& r0 = outs[0].bytes;
  EXPECT_EQ(r0[1], 0xFE);
  EXPECT_EQ(r0[2], 0x01);
  EXPECT_EQ(r0[1 + 16], (GetParam().command_len + 3) & 0xff);
  EXPECT_EQ(r0[1 + 20], 0x12);
  EXPECT_EQ(r0[1 + 22], GetParam().command_len & 0xff);
  std::vector<uint8_t> buf(2048);
  int len = 2048;
  EXPECT_EQ(dev_->receive_data(buf.data(), &len), 0);
}

INSTANTIATE_TEST_SUITE_P(Edges, hid_framing,
                         ::testing::Values(framing_case{40, {0xFF}},
                                           framing_case{41, {0xBF, 0x41}},
                                           framing_case{103, {0xBF, 0x7F}},
                                           framing_case{104, {0xBF, 0x3F, 0x41}},
                                           framing_case{7, {0xDE}}));

TEST_F(hid_transport, CommandLongerThan1133IsRefusedBeforeAnyTransfer) {
  ASSERT_EQ(dev_->open(), 0);
  token().clear_record();
  std::vector<uint8_t> cmd(1134, 0x11);
  EXPECT_EQ(dev_->send_data(cmd.data(), 1134), 1);
  EXPECT_TRUE(token().record().empty());
  auto ok = apdu_of_size(1133);
  EXPECT_EQ(dev_->send_data(ok.data(), 1133), 0);
  EXPECT_EQ(of_kind(token(), kind::interrupt_out).size(), (1133u + 23u + 62u) / 63u);
}

TEST_F(hid_transport, NoHandleFailsWithOne) {
  auto cmd = apdu_of_size(10);
  EXPECT_EQ(dev_->send_data(cmd.data(), 10), 1);
  std::vector<uint8_t> buf(2048);
  int len = 2048;
  EXPECT_EQ(dev_->receive_data(buf.data(), &len), 1);
  EXPECT_EQ(dev_->device_io(cmd.data(), 10, buf.data(), &len), 1);
}

TEST_F(hid_transport, EmptyReportsBeforeTheAnswerAreAccepted) {
  ASSERT_EQ(dev_->open(), 0);
  token().arm_fault({fault_kind::empty_reports, 1, 5, 0});
  token().clear_record();
  std::vector<uint8_t> resp;
  ASSERT_EQ(exchange(apdu_of_size(9), &resp), 0);
  EXPECT_EQ(resp.size(), 4u);
  auto ins = of_kind(token(), kind::interrupt_in);
  ASSERT_EQ(ins.size(), 6u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ins[i].bytes[0], 0);
}

struct recv_fault_case {
  fault_kind fault;
  uint32_t param;
  int expected;
};

class hid_receive_faults : public hid_transport,
                           public ::testing::WithParamInterface<recv_fault_case> {};

TEST_P(hid_receive_faults, ResultCodes) {
  ASSERT_EQ(dev_->open(), 0);
  token().arm_fault({GetParam().fault, 1, GetParam().param, 0});
  auto cmd = apdu_of_size(12);
  ASSERT_EQ(dev_->send_data(cmd.data(), 12), 0);
  std::vector<uint8_t> buf(2048);
  int len = 2048;
  EXPECT_EQ(dev_->receive_data(buf.data(), &len), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, hid_receive_faults,
    ::testing::Values(recv_fault_case{fault_kind::bad_signature, 0, rx::hid::RECV_NO_SIGNATURE},
                      recv_fault_case{fault_kind::header_length_too_big, 0,
                                      rx::hid::RECV_HEADER_LENGTH},
                      recv_fault_case{fault_kind::bad_tag, 0, rx::hid::RECV_BAD_TAG},
                      recv_fault_case{fault_kind::declared_length_long, 1,
                                      rx::hid::RECV_DATA_LENGTH},
                      recv_fault_case{fault_kind::declared_length_long, 0,
                                      rx::hid::RECV_DATA_LENGTH},
                      recv_fault_case{fault_kind::drop_response, 0, rx::hid::RECV_READ_FAILED}));

TEST_F(hid_transport, DeclaredLengthAboveCapacityIsAReceiveFailure) {
  ASSERT_EQ(dev_->open(), 0);
  auto cmd = apdu_of_size(7 + 20);  // echo: 20 bytes + SW
  ASSERT_EQ(dev_->send_data(cmd.data(), static_cast<int>(cmd.size())), 0);
  std::vector<uint8_t> buf(2048);
  int len = 21;  // one short
  EXPECT_EQ(dev_->receive_data(buf.data(), &len), rx::hid::RECV_DATA_LENGTH);
  ASSERT_EQ(dev_->send_data(cmd.data(), static_cast<int>(cmd.size())), 0);
  len = 22;
  EXPECT_EQ(dev_->receive_data(buf.data(), &len), 0);
  EXPECT_EQ(len, 22);
}

TEST(hid_frame_parse, SignatureInByteOneOnlyIsAccepted) {
  uint8_t frame[2048] = {0};
  frame[1] = 0xAA;
  frame[2] = 5;
  frame[20] = 0x12;
  frame[22] = 2;
  frame[23] = 0x90;
  uint8_t out[16];
  int len = sizeof(out);
  EXPECT_EQ(rx::hid::parse_response_frame(frame, 25, out, &len), 0);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(out[0], 0x90);
  frame[1] = 0;
  len = sizeof(out);
  EXPECT_EQ(rx::hid::parse_response_frame(frame, 25, out, &len), rx::hid::RECV_NO_SIGNATURE);
  frame[0] = 0xAA;
  frame[2] = 0x35;  // 1077
  frame[3] = 0x04;
  EXPECT_EQ(rx::hid::parse_response_frame(frame, 25, out, &len), rx::hid::RECV_HEADER_LENGTH);
  frame[2] = 0x34;  // 1076: allowed
  len = sizeof(out);
  EXPECT_EQ(rx::hid::parse_response_frame(frame, 25, out, &len), 0);
  frame[20] = 0x13;
  EXPECT_EQ(rx::hid::parse_response_frame(frame, 25, out, &len), rx::hid::RECV_BAD_TAG);
  frame[20] = 0x12;
  frame[22] = 3;  // one more than received
  len = sizeof(out);
  EXPECT_EQ(rx::hid::parse_response_frame(frame, 25, out, &len), rx::hid::RECV_DATA_LENGTH);
}

TEST(hid_frame_parse, RawResponse) {
  uint8_t r[2048] = {0};
  r[1] = 0xAA;
  r[2] = 3;
  r[20] = 7;
  r[21] = 8;
  r[22] = 9;
  uint8_t out[8];
  long len = sizeof(out);
  EXPECT_EQ(rx::hid::parse_raw_response(r, out, &len), 0);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(out[2], 9);
  EXPECT_EQ(rx::hid::parse_raw_response(r, nullptr, nullptr), 0);  // discarded
  len = 2;
  EXPECT_EQ(rx::hid::parse_raw_response(r, out, &len), rx::hid::RAW_LENGTH);
  r[2] = 49;
  EXPECT_EQ(rx::hid::parse_raw_response(r, nullptr, nullptr), rx::hid::RAW_LENGTH);
  r[2] = 48;
  len = 48;
  uint8_t big[48];
  EXPECT_EQ(rx::hid::parse_raw_response(r, big, &len), 0);
  r[1] = 0;
  EXPECT_EQ(rx::hid::parse_raw_response(r, nullptr, nullptr), rx::hid::RAW_NO_SIGNATURE);
}

TEST_F(hid_transport, TimeoutZeroIsRaisedTo5000) {
  ASSERT_EQ(dev_->open(), 0);
  rx::hid::insert_flag() = 0;
  dev_->set_comm_timeout(0);
  token().clear_record();
  ASSERT_EQ(exchange(apdu_of_size(9)), 0);
  for (const auto& e : token().record()) {
    if (e.what == kind::interrupt_out || e.what == kind::interrupt_in) {
      EXPECT_EQ(e.timeout_ms, 5000u);
    }
  }
  dev_->set_comm_timeout(30000);
  token().clear_record();
  ASSERT_EQ(exchange(apdu_of_size(9)), 0);
  for (const auto& e : of_kind(token(), kind::interrupt_out)) EXPECT_EQ(e.timeout_ms, 30000u);
}

TEST_F(hid_transport, AfterATimeoutThreeSecondsUntilASuccess) {
  ASSERT_EQ(dev_->open(), 0);
  rx::hid::insert_flag() = 0;
  dev_->set_comm_timeout(10000);
  token().arm_fault({fault_kind::read_timeout, 2, 0, 0});
  token().clear_record();
  auto cmd = apdu_of_size(9);
  ASSERT_EQ(dev_->send_data(cmd.data(), 9), 0);
  std::vector<uint8_t> buf(2048);
  int len = 2048;
  EXPECT_EQ(dev_->receive_data(buf.data(), &len), 1);  // IN timed out
  EXPECT_EQ(dev_->short_timeout_flag(), 1);
  len = 2048;
  EXPECT_EQ(dev_->receive_data(buf.data(), &len), 1);  // still short: 3000
  len = 2048;
  EXPECT_EQ(dev_->receive_data(buf.data(), &len), 0);  // the queued answer
  EXPECT_EQ(dev_->short_timeout_flag(), 0);
  auto ins = of_kind(token(), kind::interrupt_in);
  ASSERT_GE(ins.size(), 3u);
  EXPECT_EQ(ins[0].timeout_ms, 10000u);
  EXPECT_EQ(ins[0].result, rx::plat::USB_ERROR_TIMEOUT);
  EXPECT_EQ(ins[1].timeout_ms, 3000u);
  EXPECT_EQ(ins[1].result, rx::plat::USB_ERROR_TIMEOUT);
  EXPECT_EQ(ins[2].timeout_ms, 3000u);  // the successful one still used 3000
  EXPECT_EQ(ins[2].result, 0);
  // After the success: back to the (raised) communication timeout.
  token().clear_record();
  ASSERT_EQ(exchange(cmd), 0);
  for (const auto& e : of_kind(token(), kind::interrupt_out)) EXPECT_EQ(e.timeout_ms, 5000u);
}

TEST_F(hid_transport, InsertFlagMakesTheNextTransferShort) {
  ASSERT_EQ(dev_->open(), 0);
  rx::hid::insert_flag() = 1;
  dev_->set_comm_timeout(10000);
  token().clear_record();
  ASSERT_EQ(exchange(apdu_of_size(9)), 0);
  auto outs = of_kind(token(), kind::interrupt_out);
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(outs[0].timeout_ms, 3000u);
  EXPECT_EQ(rx::hid::insert_flag(), 0);
}

TEST_F(hid_transport, ClaimRetriesAgainstAHeldInterface) {
  ASSERT_EQ(dev_->open(), 0);
  token().arm_fault({fault_kind::claim_busy, 51, 0, 0});
  token().clear_record();
  uint64_t t0 = clock().now_ms();
  auto cmd = apdu_of_size(9);
  EXPECT_EQ(dev_->send_data(cmd.data(), 9), 1);
  auto claims = of_kind(token(), kind::claim);
  EXPECT_EQ(claims.size(), 51u);  // the attempt and 50 retries
  for (const auto& c : claims) EXPECT_EQ(c.result, rx::plat::USB_ERROR_BUSY);
  EXPECT_EQ(clock().now_ms() - t0, 50u * 20u);
  EXPECT_TRUE(of_kind(token(), kind::interrupt_out).empty());

  // Busy for the attempt and 49 retries: the 50th retry succeeds.
  token().clear_faults();
  token().arm_fault({fault_kind::claim_busy, 50, 0, 0});
  token().clear_record();
  EXPECT_EQ(dev_->send_data(cmd.data(), 9), 0);
  EXPECT_EQ(of_kind(token(), kind::claim).size(), 51u);
}

TEST_F(hid_transport, InterfaceHeldByAnotherHandleIsBusy) {
  ASSERT_EQ(dev_->open(), 0);
  vtok_test::hid_host other(env_->backend);
  ASSERT_TRUE(other.ok());
  ASSERT_EQ(other.claim(), 0);
  auto cmd = apdu_of_size(9);
  token().clear_record();
  EXPECT_EQ(dev_->send_data(cmd.data(), 9), 1);
  EXPECT_EQ(of_kind(token(), kind::claim).size(), 51u);
}

TEST_F(hid_transport, NoDeviceOnARetryFailsAtOnce) {
  ASSERT_EQ(dev_->open(), 0);
  env_->bus.unplug(token().serial());
  uint64_t t0 = clock().now_ms();
  auto cmd = apdu_of_size(9);
  EXPECT_EQ(dev_->send_data(cmd.data(), 9), 1);
  EXPECT_EQ(clock().now_ms() - t0, 20u);  // one retry only
}

TEST_F(hid_transport, OpenOnAnUnpluggedPathReturnsZeroAndSendFails) {
  env_->bus.unplug(token().serial());
  EXPECT_EQ(dev_->open(), 0);
  EXPECT_FALSE(dev_->is_open());
  auto cmd = apdu_of_size(9);
  EXPECT_EQ(dev_->send_data(cmd.data(), 9), 1);
}

TEST_F(hid_transport, NoDeviceMidFrameFailsTheSend) {
  ASSERT_EQ(dev_->open(), 0);
  token().arm_fault({fault_kind::no_device_mid_frame, 1, 0, 0});
  token().clear_record();
  auto cmd = apdu_of_size(200);
  EXPECT_EQ(dev_->send_data(cmd.data(), 200), 1);
  auto outs = of_kind(token(), kind::interrupt_out);
  ASSERT_EQ(outs.size(), 2u);
  EXPECT_EQ(outs[1].result, rx::plat::USB_ERROR_NO_DEVICE);
  auto rec = token().record();
  EXPECT_EQ(rec.back().what, kind::release);
}

TEST_F(hid_transport, RawSendIsOneReportWithTheCommandBlock) {
  ASSERT_EQ(dev_->open(), 0);
  token().clear_record();
  uint8_t cdb[16] = {0xFC, 0x01, 0xAA};
  uint8_t data[4] = {0x3B, 0x7E, 0x08, 0xDB};
  EXPECT_EQ(dev_->send_raw_data(cdb, 16, data, 4), 0);
  auto raws = of_kind(token(), kind::raw_command);
  ASSERT_EQ(raws.size(), 1u);
  const auto& r = raws[0].bytes;
  EXPECT_EQ(r[0], 0xFC);
  EXPECT_EQ(r[1], 0x01);
  EXPECT_EQ(r[2], 0xAA);
  EXPECT_EQ(r[16], 4);
  EXPECT_EQ(r[17], 0);
  EXPECT_EQ(r[20], 0x3B);
  EXPECT_EQ(r[23], 0xDB);
  // The send alone leaves nothing claimed: a command without an answer
  // must not keep the interface.
  EXPECT_EQ(token().record().back().what, kind::release);
  long len = 16;
  uint8_t buf[16];
  EXPECT_EQ(dev_->receive_raw_data(cdb, 16, buf, &len), rx::hid::RAW_OK);
  EXPECT_EQ(token().record().back().what, kind::release);
}

// One raw report carries 44 data bytes after its 20-byte header; longer
// data is refused before anything is sent, rather than cut while the
// length field announces all of it.
TEST_F(hid_transport, RawSendRefusesDataThatDoesNotFitOneReport) {
  ASSERT_EQ(dev_->open(), 0);
  token().clear_record();
  uint8_t cdb[16] = {0xFC, 0x02, 0xAA};
  std::vector<uint8_t> data(45, 0x55);
  EXPECT_EQ(dev_->send_raw_data(cdb, 16, data.data(), 45), 1);
  EXPECT_TRUE(token().record().empty());
  EXPECT_EQ(dev_->send_raw_data(cdb, 16, data.data(), 44), 0);
  auto raws = of_kind(token(), kind::raw_command);
  ASSERT_EQ(raws.size(), 1u);
  EXPECT_EQ(raws[0].bytes[16], 44);
  EXPECT_EQ(raws[0].bytes[63], 0x55);
}

// A virtual token whose IN pipe, once flooded, answers every read with the
// given report (the device model never produces these endless streams).
class flooding_backend : public vtok::sim_backend {
 public:
  using vtok::sim_backend::sim_backend;
  bool flood = false;
  uint8_t flood_byte0 = 0;  // 0: empty reports; 0x3F: 63 bytes, never last
  long reads = 0;
  int usb_interrupt_transfer(rx::plat::usb_device_handle* h, uint8_t ep, uint8_t* data, int length,
                             int* transferred, unsigned int timeout_ms) override {
    if (flood && (ep & 0x80)) {
      ++reads;
      std::memset(data, 0x5A, length);
      data[0] = flood_byte0;
      *transferred = length;
      monotonic_ms();
      return 0;
    }
    return vtok::sim_backend::usb_interrupt_transfer(h, ep, data, length, transferred, timeout_ms);
  }
};

TEST_F(hid_transport, EndlessEmptyReportsEndAtTheDeadline) {
  flooding_backend fb(env_->bus, env_->clock, 0);
  rx::plat::set(&fb);
  rx::transport::reset_state();
  linux_device_hid dev(path_of(token()).c_str());
  ASSERT_EQ(dev.open(), 0);
  auto cmd = apdu_of_size(9);
  ASSERT_EQ(dev.send_data(cmd.data(), 9), 0);
  fb.flood = true;
  std::vector<uint8_t> buf(2048);
  int len = 2048;
  EXPECT_EQ(dev.receive_data(buf.data(), &len), rx::hid::RECV_READ_FAILED);
  // Budget: twice the 10000 ms transfer timeout, one empty report per ms.
  EXPECT_LE(fb.reads, 20001);
  EXPECT_GT(fb.reads, 0);
  fb.flood = false;
  dev.close();
  rx::transport::reset_state();
  rx::plat::set(&env_->backend);
}

TEST_F(hid_transport, ReassemblyStopsBefore2048Bytes) {
  flooding_backend fb(env_->bus, env_->clock, 0);
  rx::plat::set(&fb);
  rx::transport::reset_state();
  linux_device_hid dev(path_of(token()).c_str());
  ASSERT_EQ(dev.open(), 0);
  auto cmd = apdu_of_size(9);
  ASSERT_EQ(dev.send_data(cmd.data(), 9), 0);
  fb.flood = true;
  fb.flood_byte0 = 0x3F;
  std::vector<uint8_t> buf(2048);
  int len = 2048;
  EXPECT_EQ(dev.receive_data(buf.data(), &len), rx::hid::RECV_READ_FAILED);
  EXPECT_EQ(fb.reads, 2048 / 63 + 1);  // the read that would overrun ends it
  fb.flood = false;
  dev.close();
  rx::transport::reset_state();
  rx::plat::set(&env_->backend);
}

// A virtual token whose IN reports, once cut, arrive short: only the first
// `cut` bytes of each 64-byte report are transferred (the device model
// always sends whole reports).
class short_report_backend : public vtok::sim_backend {
 public:
  using vtok::sim_backend::sim_backend;
  int cut = 0;
  int usb_interrupt_transfer(rx::plat::usb_device_handle* h, uint8_t ep, uint8_t* data, int length,
                             int* transferred, unsigned int timeout_ms) override {
    if (cut <= 0 || !(ep & 0x80))
      return vtok::sim_backend::usb_interrupt_transfer(h, ep, data, length, transferred, timeout_ms);
    uint8_t whole[rx::hid::kReportSize] = {0};
    int got = 0;
    int r = vtok::sim_backend::usb_interrupt_transfer(h, ep, whole, sizeof(whole), &got, timeout_ms);
    if (r != 0) return r;
    const int n = got < cut ? got : cut;
    std::memcpy(data, whole, static_cast<size_t>(n));
    *transferred = n;
    return 0;
  }
};

// A report whose length field announces more payload than the transfer
// delivered is refused, rather than reassembled with the missing bytes
// taken from whatever the report buffer held.
TEST_F(hid_transport, ShortReportIsNotReassembled) {
  short_report_backend sb(env_->bus, env_->clock, 0);
  rx::plat::set(&sb);
  rx::transport::reset_state();
  linux_device_hid dev(path_of(token()).c_str());
  ASSERT_EQ(dev.open(), 0);
  auto cmd = apdu_of_size(40);  // the echo answer fills the first report
  ASSERT_EQ(dev.send_data(cmd.data(), 40), 0);
  sb.cut = 30;
  std::vector<uint8_t> buf(2048);
  int len = 2048;
  EXPECT_EQ(dev.receive_data(buf.data(), &len), rx::hid::RECV_READ_FAILED);

  // Whole reports still go through.
  sb.cut = 0;
  ASSERT_EQ(dev.send_data(cmd.data(), 40), 0);
  len = 2048;
  ASSERT_EQ(dev.receive_data(buf.data(), &len), rx::hid::RECV_OK);
  ASSERT_EQ(len, 33 + 2);
  EXPECT_EQ(buf[32], 32);
  dev.close();
  rx::transport::reset_state();
  rx::plat::set(&env_->backend);
}

}  // namespace
