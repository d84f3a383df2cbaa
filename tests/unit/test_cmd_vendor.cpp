// Vendor pass-through commands against the virtual HID token: the raw
// reports it took in (command block, length, data), the acknowledgement
// reads, the scripted raw answers and the result convention.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cmd_fixture.h"
#include "rx7100_app.h"
#include "rx7100_cmd.h"

using cmdtest::bytes;

namespace {

bytes seq(size_t n, uint8_t start) {
  bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i * 3);
  return b;
}

// Checks one raw report: the 16-byte block (given bytes, the rest zero),
// the data length little-endian in bytes 16-17, zeros in 18-19, the data
// (what fits) from byte 20 and zeros after it.
void expect_raw(const bytes& report, const bytes& block, const bytes& data) {
  ASSERT_EQ(report.size(), 64u);
  bytes want_block = block;
  want_block.resize(16, 0);
  EXPECT_EQ(bytes(report.begin(), report.begin() + 16), want_block) << "command block";
  EXPECT_EQ(report[16] | (report[17] << 8), static_cast<int>(data.size())) << "data length";
  EXPECT_EQ(report[18], 0);
  EXPECT_EQ(report[19], 0);
  const size_t fit = data.size() < 44 ? data.size() : 44;
  bytes want_tail(data.begin(), data.begin() + fit);
  want_tail.resize(44, 0);
  EXPECT_EQ(bytes(report.begin() + 20, report.end()), want_tail) << "data";
}

const bytes kInquiry = seq(36, 0x20);
const bytes kLogo = seq(44, 0x01);  // the most one raw HID report carries
const bytes kUsbName = seq(12, 0x41);
const bytes kAtr = {0x3B, 0x9F, 0x95, 0x81, 0x31, 0xFE, 0x9F, 0x00, 0x66};
const bytes kTemplate = seq(30, 0x90);
const bytes kLcd = seq(8, 0x30);
const bytes kVendor = seq(32, 0x61);
const bytes kAuthCode = {'1', '2', '3', '4', '5', '6'};

int n_of(const bytes& b) { return static_cast<int>(b.size()); }

// The configuration commands: no response of their own.
struct config_case {
  const char* name;
  std::function<int(void*)> call;
  bytes block;
  bytes data;
};

std::vector<config_case> config_cases() {
  bytes auth_padded = kAuthCode;
  auth_padded.resize(32, 0);
  return {
      {"set_vidpid", [](void* h) { return app_dev_set_vidpid(h, 0x7e3b, 0xdb08); },
       {0xFC, 0x01, 0xAA}, {0x3B, 0x7E, 0x08, 0xDB}},
      {"set_inquiry", [](void* h) { return app_dev_set_inquiry(h, kInquiry.data(), n_of(kInquiry)); },
       {0xFC, 0x02, 0xAA}, kInquiry},
      {"ble_set_broadcast_name",
       [](void* h) { return app_ble_set_broadcast_name(h, "RX7100-BT", 0x01); },
       {0xFC, 0x04, 0xAA}, {'R', 'X', '7', '1', '0', '0', '-', 'B', 'T', 0x01}},
      {"ble_set_auth_code",
       [](void* h) { return app_ble_set_auth_code(h, kAuthCode.data(), n_of(kAuthCode)); },
       {0xFC, 0x05, 0xAA}, auth_padded},
      {"ble_set_logo", [](void* h) { return app_ble_set_logo(h, kLogo.data(), n_of(kLogo)); },
       {0xFC, 0x06, 0xAA}, kLogo},
      {"set_usb_name", [](void* h) { return app_set_usb_name(h, kUsbName.data(), n_of(kUsbName)); },
       {0xFC, 0x07, 0xAA}, kUsbName},
      {"ccid_set_ATR", [](void* h) { return app_ccid_set_ATR(h, kAtr.data(), n_of(kAtr)); },
       {0xFC, 0x08, 0xAA}, kAtr},
      {"set_template",
       [](void* h) { return app_dev_set_template(h, kTemplate.data(), n_of(kTemplate)); },
       {0xFC, 0x10, 0xAA}, kTemplate},
      {"lcd_show", [](void* h) { return app_dev_lcd_show(h, kLcd.data(), n_of(kLcd)); },
       {0xFC, 0x12, 0xAA}, kLcd},
      {"set_usbvendor",
       [](void* h) { return app_dev_set_usbvendor(h, kVendor.data(), n_of(kVendor)); },
       {0xFC, 0x41, 0xAA}, kVendor},
      {"disable_cd", [](void* h) { return app_disable_cd(h); }, {0xF8, 0xCC, 0xBB}, {}},
      {"ble_disable_sleep", [](void* h) { return app_ble_disable_sleep(h, 0x5A); },
       {0xF8, 0xFF, 0x5A}, {}},
      {"set_rw_cd off", [](void* h) { return app_dev_set_rw_cd(h, 0); }, {0xF3, 0x30, 0xF2}, {}},
      {"set_rw_cd on", [](void* h) { return app_dev_set_rw_cd(h, 1); }, {0xF3, 0x30, 0x00}, {}},
  };
}

class cmd_vendor : public cmdtest::cmd_fixture {};

TEST_F(cmd_vendor, ConfigurationCommandsSendTheirBlockAndConsumeTheAcknowledgement) {
  for (const auto& c : config_cases()) {
    SCOPED_TRACE(c.name);
    token().clear_record();
    backend_->raw_reads = 0;
    answer_raw({});
    EXPECT_EQ(c.call(h_), RX_APP_OK);
    expect_raw(only_raw(), c.block, c.data);
    EXPECT_EQ(backend_->raw_reads, 1) << "acknowledgement read";
    EXPECT_TRUE(backend_->answers.empty());
    EXPECT_TRUE(cmdtest::apdus_seen(token()).empty());
  }
}

TEST_F(cmd_vendor, AcknowledgementOutcomeIsNotJudged) {
  const std::function<void()> acks[] = {
      [this] { fail_raw(); },
      [this] { answer_raw_report(cmdtest::raw_report({1, 2}, -1)); },   // no signature
      [this] { answer_raw_report(cmdtest::raw_report({}, 0, 200)); },   // length too big
  };
  for (const auto& c : config_cases()) {
    for (const auto& ack : acks) {
      SCOPED_TRACE(c.name);
      ack();
      EXPECT_EQ(c.call(h_), RX_APP_OK);
    }
  }
}

TEST_F(cmd_vendor, SendFailureIsResult1With8003) {
  unplug();
  for (const auto& c : config_cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(h_), RX_APP_EXCHANGE_FAILED);
    EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
  }
  const bytes data(16, 1);
  EXPECT_EQ(app_dev_write_sectors(h_, 0x2A, 0, 1, data.data(), 16), RX_APP_EXCHANGE_FAILED);
  EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
  int rw = 0;
  EXPECT_EQ(app_dev_get_rw_cd(h_, &rw), RX_APP_EXCHANGE_FAILED);
  EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
  unsigned char buf[64];
  int n = sizeof(buf);
  EXPECT_EQ(app_dev_get_template(h_, buf, &n), RX_APP_EXCHANGE_FAILED);
  EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
  EXPECT_EQ(app_dev_set_vidpid(reinterpret_cast<void*>(0x7777), 1, 2), RX_APP_EXCHANGE_FAILED);
  EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
}

TEST_F(cmd_vendor, OversizedOrMissingDataIsRefusedBeforeSending) {
  const bytes big(300, 0x55);
  const struct {
    const char* name;
    std::function<int(void*)> call;
  } cases[] = {
      {"inquiry 257", [&](void* h) { return app_dev_set_inquiry(h, big.data(), 257); }},
      {"usb name 129", [&](void* h) { return app_set_usb_name(h, big.data(), 129); }},
      {"ATR 129", [&](void* h) { return app_ccid_set_ATR(h, big.data(), 129); }},
      {"usb vendor 33", [&](void* h) { return app_dev_set_usbvendor(h, big.data(), 33); }},
      {"auth code 33", [&](void* h) { return app_ble_set_auth_code(h, big.data(), 33); }},
      {"broadcast name 17",
       [](void* h) { return app_ble_set_broadcast_name(h, "ABCDEFGHIJKLMNOPQ", 0); }},
      {"broadcast name null", [](void* h) { return app_ble_set_broadcast_name(h, nullptr, 0); }},
      {"logo negative", [&](void* h) { return app_ble_set_logo(h, big.data(), -1); }},
      {"template null", [](void* h) { return app_dev_set_template(h, nullptr, 4); }},
      {"lcd null", [](void* h) { return app_dev_lcd_show(h, nullptr, 1); }},
      {"sleep value 256", [](void* h) { return app_ble_disable_sleep(h, 256); }},
      {"write sectors count 65536",
       [&](void* h) { return app_dev_write_sectors(h, 0x2A, 0, 65536, big.data(), 16); }},
      {"read sectors null buffer",
       [](void* h) { return app_dev_read_sectors(h, 0x28, 0, 1, nullptr, 16); }},
      {"get template null length",
       [](void* h) {
         unsigned char b[4];
         return app_dev_get_template(h, b, nullptr);
       }},
      {"get rw null", [](void* h) { return app_dev_get_rw_cd(h, nullptr); }},
      {"last key null", [](void* h) { return app_dev_btn_get_last_key(h, nullptr); }},
      {"broadcast name buffer null", [](void* h) { return app_ble_get_broadcast_name(h, nullptr); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(h_), RX_APP_EXCHANGE_FAILED);
    EXPECT_EQ(get_last_sw(), RX_SW_ENCODE_FAILED);
  }
  EXPECT_TRUE(token().record().empty());
  EXPECT_EQ(backend_->raw_reads, 0);
}

// The command layer's own limits (256, 128, 32 ...) are for tokens whose raw
// channel carries them; a raw HID report carries 44 data bytes, so on HID
// anything longer is refused by the transport with nothing sent.
TEST_F(cmd_vendor, HidRawDataBeyondOneReportIsRefusedWithNothingSent) {
  const bytes big(256, 0x55);
  const struct {
    const char* name;
    std::function<int(void*)> call;
    int result;
  } cases[] = {
      {"inquiry 256", [&](void* h) { return app_dev_set_inquiry(h, big.data(), 256); },
       RX_APP_EXCHANGE_FAILED},
      {"usb name 128", [&](void* h) { return app_set_usb_name(h, big.data(), 128); },
       RX_APP_EXCHANGE_FAILED},
      {"ATR 128", [&](void* h) { return app_ccid_set_ATR(h, big.data(), 128); },
       RX_APP_EXCHANGE_FAILED},
      {"logo 45", [&](void* h) { return app_ble_set_logo(h, big.data(), 45); },
       RX_APP_EXCHANGE_FAILED},
      {"usb vendor 32", [&](void* h) { return app_dev_set_usbvendor(h, big.data(), 32); },
       RX_APP_OK},
      {"auth code 32", [&](void* h) { return app_ble_set_auth_code(h, big.data(), 32); },
       RX_APP_OK},
      {"logo 44", [&](void* h) { return app_ble_set_logo(h, big.data(), 44); }, RX_APP_OK},
      {"broadcast name 16",
       [](void* h) { return app_ble_set_broadcast_name(h, "ABCDEFGHIJKLMNOP", 7); }, RX_APP_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    token().clear_record();
    EXPECT_EQ(c.call(h_), c.result);
    if (c.result == RX_APP_OK) {
      EXPECT_EQ(cmdtest::raw_seen(token()).size(), 1u);
    } else {
      EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
      EXPECT_TRUE(cmdtest::raw_seen(token()).empty());
    }
  }
}

// The template: an answer of any size up to the capacity is taken; a
// larger one is refused with the needed length and nothing copied.
TEST_F(cmd_vendor, GetTemplateIsBoundedByTheCallersCapacity) {
  const bytes tpl = seq(40, 0x70);
  const struct {
    const char* name;
    int cap;
    int result;
    int n_after;
  } cases[] = {
      {"roomy", 64, RX_APP_OK, 40},
      {"exact", 40, RX_APP_OK, 40},
      {"one short", 39, RX_APP_BUFFER_TOO_SMALL, 40},
      {"zero", 0, RX_APP_BUFFER_TOO_SMALL, 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    token().clear_record();
    answer_raw(tpl);
    bytes buf(c.cap + 16, 0xEE);
    int n = c.cap;
    EXPECT_EQ(app_dev_get_template(h_, buf.data(), &n), c.result);
    EXPECT_EQ(n, c.n_after);
    expect_raw(only_raw(), {0xFC, 0x11, 0xAA}, bytes(16, 0));
    if (c.result == RX_APP_OK) {
      EXPECT_TRUE(std::equal(tpl.begin(), tpl.end(), buf.begin()));
      EXPECT_EQ(buf[40], 0xEE);
    } else {
      EXPECT_EQ(buf, bytes(c.cap + 16, 0xEE));
    }
  }
}

// Failed raw receives of the query commands: each with its own result.
TEST_F(cmd_vendor, FailedReceivesOfQueries) {
  const struct {
    const char* name;
    std::function<int(void*)> call;
    int result;
  } queries[] = {
      {"get_template",
       [](void* h) {
         unsigned char b[64];
         int n = sizeof(b);
         return app_dev_get_template(h, b, &n);
       },
       RX_APP_STATUS_REJECTED},
      {"btn_get_last_key",
       [](void* h) {
         unsigned char k = 0;
         return app_dev_btn_get_last_key(h, &k);
       },
       RX_APP_STATUS_REJECTED},
      {"ble_get_broadcast_name",
       [](void* h) {
         char b[RX_BLE_NAME_BUF];
         return app_ble_get_broadcast_name(h, b);
       },
       RX_APP_STATUS_REJECTED},
      {"get_rw_cd",
       [](void* h) {
         int rw = 0;
         return app_dev_get_rw_cd(h, &rw);
       },
       RX_APP_BUFFER_TOO_SMALL},
  };
  const struct {
    const char* name;
    std::function<void()> script;
  } failures[] = {
      {"read timeout", [this] { fail_raw(); }},
      {"no device", [this] { fail_raw(-4); }},
      {"no signature", [this] { answer_raw_report(cmdtest::raw_report({1}, -1)); }},
      {"declared length 49", [this] { answer_raw_report(cmdtest::raw_report({1}, 0, 49)); }},
  };
  for (const auto& q : queries) {
    for (const auto& f : failures) {
      SCOPED_TRACE(std::string(q.name) + " / " + f.name);
      f.script();
      EXPECT_EQ(q.call(h_), q.result);
      EXPECT_EQ(get_last_sw(), RX_SW_RECEIVE_FAILED);
    }
  }
}

TEST_F(cmd_vendor, LastKeyIsTheFirstByteOfTheAnswer) {
  answer_raw({0x07, 0x99});
  unsigned char key = 0;
  EXPECT_EQ(app_dev_btn_get_last_key(h_, &key), RX_APP_OK);
  EXPECT_EQ(key, 0x07);
  expect_raw(only_raw(), {0xFC, 0x13, 0xAA}, bytes(16, 0));
  // An empty answer carries no key.
  answer_raw({});
  key = 0x55;
  EXPECT_EQ(app_dev_btn_get_last_key(h_, &key), RX_APP_STATUS_REJECTED);
  EXPECT_EQ(get_last_sw(), RX_SW_DECODE_FAILED);
  EXPECT_EQ(key, 0x55);
}

TEST_F(cmd_vendor, BroadcastNameIsAtMostSixteenCharactersAndTerminated) {
  const struct {
    const char* name;
    bytes answer;
    std::string expected;
    int result;
  } cases[] = {
      {"short, terminated", {'B', 'T', '-', '1', 0, 'x', 'x'}, "BT-1", RX_APP_OK},
      {"sixteen without terminator", bytes(16, 'N'), std::string(16, 'N'), RX_APP_OK},
      {"empty", {}, "", RX_APP_OK},
      {"seventeen", bytes(17, 'N'), "?", RX_APP_STATUS_REJECTED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    token().clear_record();
    answer_raw(c.answer);
    char buf[RX_BLE_NAME_BUF + 4];
    std::memset(buf, '?', sizeof(buf));
    buf[1] = '\0';
    EXPECT_EQ(app_ble_get_broadcast_name(h_, buf), c.result);
    EXPECT_EQ(std::string(buf), c.expected);
    for (size_t i = RX_BLE_NAME_BUF; i < sizeof(buf); ++i) EXPECT_EQ(buf[i], '?') << i;
    expect_raw(only_raw(), {0xFD, 0x01, 0xAA}, bytes(16, 0));
  }
}

TEST_F(cmd_vendor, RwStateOfTheCdPartition) {
  const struct {
    bytes answer;
    int result;
    int rw;
  } cases[] = {
      {{0xF2}, RX_APP_OK, 1},
      {{0xF2, 0x00, 0x01}, RX_APP_OK, 1},
      {{0x00}, RX_APP_OK, 0},
      {{0xF3}, RX_APP_OK, 0},
      {{}, RX_APP_BUFFER_TOO_SMALL, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.size());
    token().clear_record();
    answer_raw(c.answer);
    int rw = -1;
    EXPECT_EQ(app_dev_get_rw_cd(h_, &rw), c.result);
    EXPECT_EQ(rw, c.rw);
    expect_raw(only_raw(), {0xF3, 0x40, 0xF2}, {});
  }
  EXPECT_EQ(get_last_sw(), RX_SW_DECODE_FAILED);
}

TEST_F(cmd_vendor, WriteSectorsOnlySends) {
  const bytes data = seq(40, 0x11);
  EXPECT_EQ(app_dev_write_sectors(h_, 0x2A, 0x01020304u, 0x0506, data.data(), n_of(data)),
            RX_APP_OK);
  expect_raw(only_raw(),
             {0x2A, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x05, 0x06}, data);
  EXPECT_EQ(backend_->raw_reads, 0);
}

TEST_F(cmd_vendor, ReadSectorsOnlyReceivesExactlyTheLengthAsked) {
  backend_->serve_any = true;
  const struct {
    const char* name;
    std::function<void()> script;
    int result;
    int last_sw;
  } cases[] = {
      {"exact", [this] { answer_raw(seq(32, 0x50)); }, RX_APP_OK, 0x9000},
      {"short", [this] { answer_raw(seq(31, 0x50)); }, RX_APP_EXCHANGE_FAILED,
       RX_SW_DECODE_FAILED},
      {"long", [this] { answer_raw(seq(33, 0x50)); }, RX_APP_EXCHANGE_FAILED,
       RX_SW_RECEIVE_FAILED},
      {"timeout", [this] { fail_raw(); }, RX_APP_EXCHANGE_FAILED, RX_SW_RECEIVE_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.script();
    bytes buf(48, 0xEE);
    EXPECT_EQ(app_dev_read_sectors(h_, 0x28, 0x10, 1, buf.data(), 32), c.result);
    if (c.result == RX_APP_OK) {
      EXPECT_EQ(bytes(buf.begin(), buf.begin() + 32), seq(32, 0x50));
    } else {
      EXPECT_EQ(get_last_sw(), c.last_sw);
    }
    EXPECT_EQ(buf[32], 0xEE) << "nothing past the length asked";
  }
  EXPECT_TRUE(cmdtest::raw_seen(token()).empty()) << "the block is not sent";
}

}  // namespace
