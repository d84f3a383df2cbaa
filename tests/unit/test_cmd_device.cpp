// Device information, random numbers, label, LED and device authentication
// commands against the virtual token: the exact APDUs it received and the
// result convention.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cmd_fixture.h"
#include "rx7100_app.h"
#include "rx7100_cmd.h"

using cmdtest::apdu_bytes;
using cmdtest::bytes;

namespace {

bytes seq(size_t n, uint8_t start) {
  bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i * 7);
  return b;
}

const bytes kAuth = seq(16, 0x11);
const bytes kKey = seq(24, 0x40);

// Commands without output: what each call must put on the wire.
struct plain_case {
  const char* name;
  uint8_t cla, ins;
  std::function<int(void*)> call;
  bytes expected;
};

std::vector<plain_case> plain_cases() {
  const std::string label = "My Token";
  const std::string serial = "SN-0001";
  return {
      {"SetLabel", 0x80, 0x02, [](void* h) { return app_set_label(h, "My Token"); },
       apdu_bytes({0x80, 0x02, 0x00, 0x00}, bytes(label.begin(), label.end()))},
      {"SetSerialNumber", 0x80, 0x02, [](void* h) { return app_set_serial_number(h, "SN-0001"); },
       apdu_bytes({0x80, 0x02, 0x01, 0x00}, bytes(serial.begin(), serial.end()))},
      {"LedControl", 0xC0, 0x40, [](void* h) { return app_sys_led_control(h, 3, 0x01020304u); },
       apdu_bytes({0xC0, 0x40, 0x00, 0x03}, {0x01, 0x02, 0x03, 0x04})},
      {"DevAuth", 0x80, 0x10,
       [](void* h) { return app_dev_auth(h, 2, kAuth.data(), static_cast<int>(kAuth.size())); },
       apdu_bytes({0x80, 0x10, 0x00, 0x02}, kAuth)},
      {"ChangeDevAuthKey", 0x84, 0x12,
       [](void* h) {
         return app_change_dev_auth_key(h, 0xFE, kKey.data(), static_cast<int>(kKey.size()));
       },
       apdu_bytes({0x84, 0x12, 0x00, 0xFE}, kKey)},
      {"ChangeDevAuthKeyEx", 0xC0, 0x36,
       [](void* h) {
         return app_change_dev_auth_key_ex(h, kKey.data(), static_cast<int>(kKey.size()));
       },
       apdu_bytes({0xC0, 0x36, 0x00, 0x00}, kKey)},
  };
}

class cmd_device : public cmdtest::cmd_fixture {};

TEST_F(cmd_device, CommandsWithoutOutputSendTheirExactApdu) {
  for (const auto& c : plain_cases()) {
    SCOPED_TRACE(c.name);
    token().clear_record();
    answer(c.cla, c.ins, {});
    EXPECT_EQ(c.call(h_), RX_APP_OK);
    EXPECT_EQ(get_last_sw(), 0x9000);
    EXPECT_EQ(only_apdu(), c.expected);
  }
}

TEST_F(cmd_device, RejectedStatusIsResult2WithTheStatusKept) {
  const uint16_t statuses[] = {0x6982, 0x6A80, 0x6300};
  for (const auto& c : plain_cases()) {
    for (uint16_t sw : statuses) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(sw));
      answer(c.cla, c.ins, {}, sw);
      EXPECT_EQ(c.call(h_), RX_APP_STATUS_REJECTED);
      EXPECT_EQ(get_last_sw(), sw);
    }
  }
}

TEST_F(cmd_device, TransportFailureIsResult1With8003) {
  unplug();
  for (const auto& c : plain_cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(h_), RX_APP_EXCHANGE_FAILED);
    EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
  }
  unsigned char buf[64];
  EXPECT_EQ(app_get_dev_info(h_, buf, sizeof(buf)), RX_APP_EXCHANGE_FAILED);
  EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
  EXPECT_EQ(app_gen_random(h_, buf, 8), RX_APP_EXCHANGE_FAILED);
  EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
}

TEST_F(cmd_device, UnknownHandleFailsWithoutTraffic) {
  void* bogus = reinterpret_cast<void*>(0x7777);
  EXPECT_EQ(app_set_label(bogus, "x"), RX_APP_EXCHANGE_FAILED);
  EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
  EXPECT_TRUE(cmdtest::apdus_seen(token()).empty());
}

TEST_F(cmd_device, BadArgumentsAreRefusedBeforeSending) {
  std::string too_long(70000, 'a');
  const struct {
    const char* name;
    std::function<int(void*)> call;
  } cases[] = {
      {"null label", [](void* h) { return app_set_label(h, nullptr); }},
      {"empty label", [](void* h) { return app_set_label(h, ""); }},
      {"label over 65535", [&](void* h) { return app_set_label(h, too_long.c_str()); }},
      {"null serial", [](void* h) { return app_set_serial_number(h, nullptr); }},
      {"led selector 256", [](void* h) { return app_sys_led_control(h, 256, 1); }},
      {"auth null data", [](void* h) { return app_dev_auth(h, 1, nullptr, 16); }},
      {"auth negative length", [](void* h) { return app_dev_auth(h, 1, kAuth.data(), -1); }},
      {"auth key id -1", [](void* h) { return app_dev_auth(h, -1, kAuth.data(), 16); }},
      {"auth zero length", [](void* h) { return app_dev_auth(h, 1, kAuth.data(), 0); }},
      {"change key id 256",
       [](void* h) { return app_change_dev_auth_key(h, 256, kKey.data(), 24); }},
      {"change key ex null", [](void* h) { return app_change_dev_auth_key_ex(h, nullptr, 4); }},
      {"random null buffer", [](void* h) { return app_gen_random(h, nullptr, 8); }},
      {"random length 0",
       [](void* h) {
         unsigned char b[1];
         return app_gen_random(h, b, 0);
       }},
      {"info negative capacity",
       [](void* h) {
         unsigned char b[1];
         return app_get_dev_info(h, b, -1);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(h_), RX_APP_EXCHANGE_FAILED);
    EXPECT_EQ(get_last_sw(), RX_SW_ENCODE_FAILED);
  }
  EXPECT_TRUE(cmdtest::apdus_seen(token()).empty());
  EXPECT_EQ(handled_, 0);
}

TEST_F(cmd_device, DeviceInformationIsCopiedWholeOrNotAtAll) {
  const bytes info = seq(300, 3);
  const bytes short_info = seq(40, 9);
  const struct {
    const char* name;
    uint8_t p1;
    const bytes* answer;
    int (*call)(void*, unsigned char*, int);
  } kinds[] = {{"GetDevInfo", 0x00, &info, app_get_dev_info},
               {"GetShortDevInfo", 0x01, &short_info, app_get_dev_short_info}};
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.name);
    const int n = static_cast<int>(k.answer->size());
    os().register_handler(0x80, 0x04, [&](vtok::card_os&, const vtok::command& c) {
      vtok::response r;
      r.data = c.p1 == k.p1 ? *k.answer : bytes{};
      return r;
    });
    for (int cap : {n, n + 100, n - 1, 0}) {
      SCOPED_TRACE(cap);
      token().clear_record();
      bytes buf(n + 100, 0xEE);
      const int r = k.call(h_, buf.data(), cap);
      EXPECT_EQ(only_apdu(), apdu_bytes({0x80, 0x04, k.p1, 0x00}, {}, 0));
      if (cap >= n) {
        EXPECT_EQ(r, RX_APP_OK);
        EXPECT_TRUE(std::equal(k.answer->begin(), k.answer->end(), buf.begin()));
        EXPECT_EQ(buf[n], 0xEE);
      } else {
        EXPECT_EQ(r, RX_APP_BUFFER_TOO_SMALL);
        EXPECT_EQ(buf, bytes(n + 100, 0xEE));
      }
    }
  }
}

TEST_F(cmd_device, GenRandomAcceptsExactlyTheLengthAsked) {
  const int asked = 16;
  const struct {
    const char* name;
    size_t answered;
    uint16_t sw;
    int result;
    int last_sw;
  } cases[] = {
      {"exact", 16, 0x9000, RX_APP_OK, 0x9000},
      {"more than asked", 17, 0x9000, RX_APP_BUFFER_TOO_SMALL, 0x9000},
      {"far more than asked", 200, 0x9000, RX_APP_BUFFER_TOO_SMALL, 0x9000},
      {"fewer than asked", 15, 0x9000, RX_APP_EXCHANGE_FAILED, RX_SW_DECODE_FAILED},
      {"none", 0, 0x9000, RX_APP_EXCHANGE_FAILED, RX_SW_DECODE_FAILED},
      {"refused", 0, 0x6A86, RX_APP_STATUS_REJECTED, 0x6A86},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bytes data = seq(c.answered, 0x21);
    answer(0x80, 0x50, data, c.sw);
    token().clear_record();
    bytes buf(asked + 8, 0xEE);
    EXPECT_EQ(app_gen_random(h_, buf.data(), asked), c.result);
    EXPECT_EQ(get_last_sw(), c.last_sw);
    EXPECT_EQ(only_apdu(), apdu_bytes({0x80, 0x50, 0x00, 0x00}, {}, asked));
    if (c.result == RX_APP_OK) {
      EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
      EXPECT_EQ(buf[asked], 0xEE);
    } else {
      EXPECT_EQ(buf, bytes(asked + 8, 0xEE)) << "nothing copied";
    }
  }
}

TEST_F(cmd_device, GenRandomFromTheTokensOwnGenerator) {
  bytes a(32, 0), b(32, 0);
  ASSERT_EQ(app_gen_random(h_, a.data(), 32), RX_APP_OK);
  ASSERT_EQ(app_gen_random(h_, b.data(), 32), RX_APP_OK);
  EXPECT_NE(a, b);
  EXPECT_NE(a, bytes(32, 0));
}

}  // namespace
