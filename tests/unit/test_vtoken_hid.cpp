// The HID device model driven through the in-process backend with
// hand-built reports: reassembly, response frames, bad frames, raw reports,
// empty reads and the control-request path.
#include <gtest/gtest.h>

#include "card_os.h"
#include "hid_token_device.h"
#include "vtok_fixture.h"
#include "vtok_hid_host.h"

using namespace vtok_test;
using rx::plat::USB_ERROR_TIMEOUT;

namespace {

class hid_model : public vtok_fixture {
 protected:
  void SetUp() override {
    vtok_fixture::SetUp();
    // Echo (CLA 80 INS EE): answers its data (at most Le bytes of it), so
    // lengths can be checked both ways.
    bus().with_lock([this] {
      token().os().register_handler(0x80, 0xEE, [](vtok::card_os&, const vtok::command& c) {
        vtok::response r;
        r.data = c.data;
        if (c.has_le && r.data.size() > c.le) r.data.resize(c.le);
        return r;
      });
    });
    host_ = std::make_unique<hid_host>(rx::plat::get());
    ASSERT_TRUE(host_->ok()) << host_->open_result();
  }
  void TearDown() override {
    host_.reset();
    vtok_fixture::TearDown();
  }
  hid_host& host() { return *host_; }

  std::unique_ptr<hid_host> host_;
};

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + 5);
  return v;
}

}  // namespace

// Frame sizes at the report boundaries: the request's flag bytes and the
// echoed data must both come through intact.
TEST_F(hid_model, FramesOfOneTwoAndManyReports) {
  struct c {
    size_t apdu_len;
    std::vector<uint8_t> flags;  // expected byte 0 of each request report
  };
  const std::vector<c> cases = {
      {40, {0xFF}},        // 63-byte frame: one report
      {41, {0xBF, 0x41}},  // 64-byte frame
      {103, {0xBF, 0x7F}}, // 126-byte frame: two full reports, no remainder
      {1133, {}},          // the longest command: 19 reports
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.apdu_len);
    // The longest command is sent as case 4E and echoed in part (the whole
    // echo would not fit a response frame).
    const bool big = k.apdu_len > 1000;
    auto data = pattern(k.apdu_len - (big ? 9 : 7));
    const auto apdu = big ? apdu4e(0x80, 0xEE, 0, 0, data, 1000) : apdu3e(0x80, 0xEE, 0, 0, data);
    ASSERT_EQ(apdu.size(), k.apdu_len);
    if (big) data.resize(1000);
    const auto reports = frame_reports(request_frame(apdu));
    if (!k.flags.empty()) {
      ASSERT_EQ(reports.size(), k.flags.size());
      for (size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i][0], k.flags[i]);
    } else {
      EXPECT_EQ(reports.size(), (23 + k.apdu_len + 62) / 63);
    }
    for (size_t i = 0; i < reports.size(); ++i) {
      ASSERT_EQ(host().send_report(reports[i]), 0);
      // Nothing to read before the last report arrived.
      if (i + 1 < reports.size()) {
        EXPECT_EQ(dynamic_cast<vtok::hid_token_device&>(token().device()).pending_reports(), 0u);
      }
    }
    std::vector<uint8_t> frame;
    std::vector<report> in;
    ASSERT_EQ(host().read_frame(&frame, &in), 0);
    const size_t m = data.size() + 2;
    ASSERT_EQ(frame.size(), 23 + m);
    EXPECT_EQ(frame[0], 0xAA);
    EXPECT_EQ(frame[1], 0x00);
    EXPECT_EQ(frame[2] | (frame[3] << 8), static_cast<int>(m + 3));
    for (int i = 4; i < 20; ++i) EXPECT_EQ(frame[i], 0) << i;
    EXPECT_EQ(frame[20], 0x12);
    EXPECT_EQ((frame[21] << 8) | frame[22], static_cast<int>(m));
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 23, frame.end() - 2), data);
    EXPECT_EQ(frame[frame.size() - 2], 0x90);
    EXPECT_EQ(in.front()[0] & 0x80, 0x80);
    EXPECT_EQ(in.back()[0] & 0x40, 0x40);
    EXPECT_EQ(in.size(), (23 + m + 62) / 63);
  }
  EXPECT_EQ(token().stats().apdus, 4u);
}

TEST_F(hid_model, EmptyPayloadReportsInsideAFrameAreAccepted) {
  const auto reports = frame_reports(request_frame(apdu2e(0x80, 0x50, 0, 0, 8)));
  ASSERT_EQ(reports.size(), 1u);
  report first = reports[0];
  // Same frame split as: first report with 23 bytes, an empty one, then the rest.
  report a{}, empty{}, b{};
  a[0] = 0x80 | 23;
  std::copy(first.begin() + 1, first.begin() + 24, a.begin() + 1);
  b[0] = 0x40 | 7;
  std::copy(first.begin() + 24, first.begin() + 31, b.begin() + 1);
  ASSERT_EQ(host().send_report(a), 0);
  ASSERT_EQ(host().send_report(empty), 0);
  ASSERT_EQ(host().send_report(b), 0);
  std::vector<uint8_t> frame;
  ASSERT_EQ(host().read_frame(&frame), 0);
  EXPECT_EQ(frame.size(), 23u + 8 + 2);
}

TEST_F(hid_model, BadRequestFramesAreAnsweredWithWrongLength) {
  const auto good = request_frame(apdu2e(0x80, 0x50, 0, 0, 8));
  struct c {
    const char* what;
    std::vector<uint8_t> frame;
  };
  auto with = [&](size_t at, uint8_t v) {
    auto f = good;
    f[at] = v;
    return f;
  };
  auto longest_plus_one = request_frame(apdu3e(0x80, 0xEE, 0, 0, pattern(1134 - 7)));
  const std::vector<uint8_t> short_frame(good.begin(), good.end() - 1);
  std::vector<uint8_t> long_frame(good.size() + 1, 0);
  std::copy(good.begin(), good.end(), long_frame.begin());
  const std::vector<c> cases = {
      {"reserved_byte_2", with(2, 1)},
      {"reserved_byte_15", with(15, 1)},
      {"le_length_wrong", with(16, 11)},
      {"byte_18_set", with(18, 1)},
      {"wrong_tag", with(20, 0x13)},
      {"command_too_long", longest_plus_one},
      {"shorter_than_declared", short_frame},
      {"longer_than_declared", long_frame},
      {"header_only_part", std::vector<uint8_t>(good.begin(), good.begin() + 10)},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    token().reset_stats();
    ASSERT_EQ(host().send_frame(k.frame), 0);
    std::vector<uint8_t> frame;
    ASSERT_EQ(host().read_frame(&frame), 0);
    ASSERT_EQ(frame.size(), 25u);
    EXPECT_EQ(frame[0], 0xAA);
    EXPECT_EQ(frame[20], 0x12);
    EXPECT_EQ(frame[23], 0x67);
    EXPECT_EQ(frame[24], 0x00);
    EXPECT_EQ(token().stats().apdus, 0u);  // the card OS never saw it
  }
  // The token still works afterwards.
  EXPECT_EQ(sw_of(host().transmit(apdu2e(0x80, 0x50, 0, 0, 8))), 0x9000);
}

TEST_F(hid_model, MalformedApduInsideAGoodFrameGetsTheCardOsAnswer) {
  EXPECT_EQ(host().transmit({0x80, 0xEE, 0, 0, 5}), (std::vector<uint8_t>{0x67, 0x00}));
  EXPECT_EQ(host().transmit(apdu1(0x80, 0x99, 0, 0)), (std::vector<uint8_t>{0x6D, 0x00}));
}

TEST_F(hid_model, ChainedCommandOverFrames) {
  const auto a = pattern(1000), b = pattern(300);
  EXPECT_EQ(host().transmit(apdu3e(0x90, 0xEE, 0, 0, a)), (std::vector<uint8_t>{0x90, 0x00}));
  // The response must fit one frame (at most 1073 bytes of data and SW), so
  // the echo of 1300 bytes is refused by the device model.
  EXPECT_EQ(host().transmit(apdu3e(0x80, 0xEE, 0, 0, b)), (std::vector<uint8_t>{0x67, 0x00}));

  EXPECT_EQ(sw_of(host().transmit(apdu3e(0x90, 0xEE, 0, 0, pattern(500)))), 0x9000);
  const auto r = host().transmit(apdu3e(0x80, 0xEE, 0, 0, pattern(571)));
  EXPECT_EQ(r.size(), 1073u);  // the largest answer that fits
  EXPECT_EQ(sw_of(r), 0x9000);

  EXPECT_EQ(sw_of(host().transmit(apdu3e(0x90, 0xEE, 0, 0, {1}))), 0x9000);
  EXPECT_EQ(sw_of(host().transmit(apdu2e(0x80, 0x50, 0, 0, 8))), 0x6883);  // aborted
  EXPECT_EQ(host().transmit(apdu3e(0x80, 0xEE, 0, 0, {7})), (std::vector<uint8_t>{7, 0x90, 0}));
}

TEST_F(hid_model, ReadWithNothingPendingTimesOutOnTheVirtualClock) {
  const uint64_t before = clock().now_ms();
  report r{};
  int done = -1;
  EXPECT_EQ(rx::plat::get().usb_interrupt_transfer(host().handle(), 0x81, r.data(), 64, &done, 5000),
            USB_ERROR_TIMEOUT);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(clock().now_ms() - before, 5000u);
}

TEST_F(hid_model, InBufferShorterThanAReportOverflows) {
  ASSERT_EQ(host().send_frame(request_frame(apdu2e(0x80, 0x50, 0, 0, 8))), 0);
  uint8_t small[32];
  int done = 0;
  EXPECT_EQ(rx::plat::get().usb_interrupt_transfer(host().handle(), 0x81, small, 32, &done, 100),
            rx::plat::USB_ERROR_OVERFLOW);
  std::vector<uint8_t> frame;
  EXPECT_EQ(host().read_frame(&frame), 0);  // the report is still there
}

TEST_F(hid_model, RawReportsAreTakenApartFromFrames) {
  // A raw command block: byte 0 is the command's first byte, not flags.
  struct c {
    const char* what;
    uint8_t b0, b1, b2;
  };
  const std::vector<c> cases = {
      {"first_bit_without_fe01", 0x80, 0x10, 0x00},
      {"fe01_without_first_bit", 0x3F, 0xFE, 0x01},
      {"plain", 0x01, 0x02, 0x03},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    token().clear_record();
    report raw{};
    raw[0] = k.b0;
    raw[1] = k.b1;
    raw[2] = k.b2;
    raw[16] = 4;  // data length
    ASSERT_EQ(host().send_report(raw), 0);
    report in{};
    int done = 0;
    EXPECT_EQ(rx::plat::get().usb_interrupt_transfer(host().handle(), 0x81, in.data(), 64, &done, 10),
              USB_ERROR_TIMEOUT);
    bool recorded = false;
    for (const auto& e : token().record())
      if (e.what == vtok::transfer_entry::kind::raw_command) {
        recorded = true;
        EXPECT_EQ(std::vector<uint8_t>(e.bytes.begin(), e.bytes.begin() + 3),
                  (std::vector<uint8_t>{k.b0, k.b1, k.b2}));
      }
    EXPECT_TRUE(recorded);
  }
  EXPECT_EQ(token().stats().apdus, 0u);
}

TEST_F(hid_model, RawReportAbandonsAPartialFrame) {
  const auto reports = frame_reports(request_frame(apdu3e(0x80, 0xEE, 0, 0, pattern(100))));
  ASSERT_GE(reports.size(), 2u);
  ASSERT_EQ(host().send_report(reports[0]), 0);
  report raw{};
  raw[0] = 0x85;  // first bit set, no FE 01: raw
  ASSERT_EQ(host().send_report(raw), 0);
  for (size_t i = 1; i < reports.size(); ++i) ASSERT_EQ(host().send_report(reports[i]), 0);
  // The continuation reports belong to no frame: no answer.
  report in{};
  int done = 0;
  EXPECT_EQ(rx::plat::get().usb_interrupt_transfer(host().handle(), 0x81, in.data(), 64, &done, 10),
            USB_ERROR_TIMEOUT);
  EXPECT_EQ(token().stats().apdus, 0u);
}

TEST_F(hid_model, NewFrameDiscardsAnUnreadResponse) {
  ASSERT_EQ(host().send_frame(request_frame(apdu3e(0x80, 0xEE, 0, 0, {1}))), 0);
  EXPECT_EQ(host().transmit(apdu3e(0x80, 0xEE, 0, 0, {2})), (std::vector<uint8_t>{2, 0x90, 0}));
}

TEST_F(hid_model, ControlRequestsCarryTheSameReports) {
  auto& b = rx::plat::get();
  const auto reports = frame_reports(request_frame(apdu3e(0x80, 0xEE, 0, 0, pattern(100))));
  for (auto r : reports)
    ASSERT_EQ(b.usb_control_transfer(host().handle(), 0x21, 0x09, 0, 0, r.data(), 64, 1000), 64);
  std::vector<uint8_t> frame;
  for (int i = 0; i < 10; ++i) {
    report r{};
    ASSERT_EQ(b.usb_control_transfer(host().handle(), 0xA1, 0x01, 0, 0, r.data(), 64, 1000), 64);
    frame.insert(frame.end(), r.begin() + 1, r.begin() + 1 + (r[0] & 0x3F));
    if (r[0] & 0x40) break;
  }
  ASSERT_EQ(frame.size(), 23u + 102);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 23, frame.end() - 2), pattern(100));
  // With nothing pending GET_REPORT answers an empty report.
  report r{};
  r.fill(0xCC);
  ASSERT_EQ(b.usb_control_transfer(host().handle(), 0xA1, 0x01, 0, 0, r.data(), 64, 1000), 64);
  EXPECT_EQ(r, report{});
  // Unknown requests stall.
  EXPECT_EQ(b.usb_control_transfer(host().handle(), 0x21, 0x0A, 0, 0, nullptr, 0, 1000),
            rx::plat::USB_ERROR_PIPE);
  const auto st = token().stats();
  EXPECT_EQ(st.control_out, reports.size());
  EXPECT_EQ(st.control_in, 3u);
}
