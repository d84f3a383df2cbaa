// Device commands of the virtual token through its HID face: the device
// information records and their offsets, label and serial number, the LED,
// the raw vendor commands and their raw-response reports, and what of it
// is kept in the saved state.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "card_os.h"
#include "vtok_fixture.h"
#include "vtok_hid_host.h"

using namespace vtok_test;
using rx::plat::USB_ERROR_TIMEOUT;

namespace {

using bytes = std::vector<uint8_t>;

bytes body(const bytes& r) { return r.size() >= 2 ? bytes(r.begin(), r.end() - 2) : bytes{}; }
bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }
bytes slice(const bytes& v, size_t at, size_t n) { return bytes(v.begin() + at, v.begin() + at + n); }
bytes padded(const std::string& s, size_t n) {
  bytes v = text(s);
  v.resize(n, 0);
  return v;
}

class device_cmds : public vtok_fixture {
 protected:
  void SetUp() override {
    vtok_fixture::SetUp();
    host_ = std::make_unique<hid_host>(rx::plat::get());
    ASSERT_TRUE(host_->ok()) << host_->open_result();
  }
  void TearDown() override {
    host_.reset();
    vtok_fixture::TearDown();
  }
  vtok::persistent_state& state() { return token().os().persistent(); }
  bytes transmit(const bytes& apdu) { return host_->transmit(apdu); }
  uint16_t run(const bytes& apdu) { return sw_of(transmit(apdu)); }

  // One raw vendor report: block bytes 0-2, LE declared length, data from 20.
  int send_raw(uint8_t b0, uint8_t b1, uint8_t b2, const bytes& data = {}, int declared = -1) {
    report r{};
    r[0] = b0;
    r[1] = b1;
    r[2] = b2;
    const size_t n = declared < 0 ? data.size() : static_cast<size_t>(declared);
    r[16] = static_cast<uint8_t>(n & 0xFF);
    r[17] = static_cast<uint8_t>(n >> 8);
    for (size_t i = 0; i < data.size() && 20 + i < r.size(); ++i) r[20 + i] = data[i];
    return host_->send_report(r);
  }
  // Reads one IN report; checks the raw-response layout and returns its data.
  bool read_raw(bytes* data) {
    report in{};
    int done = 0;
    const int rc =
        rx::plat::get().usb_interrupt_transfer(host_->handle(), 0x81, in.data(), 64, &done, 10);
    if (rc != 0) return false;
    EXPECT_EQ(done, 64);
    EXPECT_EQ(in[0], 0xAA);
    const size_t n = in[2] | (in[3] << 8);
    EXPECT_LE(n, 44u);
    *data = bytes(in.begin() + 20, in.begin() + 20 + std::min<size_t>(n, 44));
    return true;
  }
  bytes raw(uint8_t b0, uint8_t b1, uint8_t b2, const bytes& data = {}, int declared = -1) {
    EXPECT_EQ(send_raw(b0, b1, b2, data, declared), 0);
    bytes answer;
    EXPECT_TRUE(read_raw(&answer)) << "no raw answer";
    return answer;
  }

  std::unique_ptr<hid_host> host_;
};

const bytes ack_ok = {0x90, 0x00};
const bytes ack_length = {0x67, 0x00};

TEST_F(device_cmds, DeviceInformationRecordLayout) {
  bus().with_lock([&] {
    auto& s = state();
    s.manufacturer = "Maker";
    s.issuer = "Issuer";
    s.label = "The label";
    s.serial_number = "SERIAL-123";
    s.struct_version = 0x0102;
    s.hardware_version = 0x0304;
    s.firmware_version = 0x0506;
    s.alg_sym_cap = 0x11223344;
    s.alg_asym_cap = 0x55667788;
    s.alg_hash_cap = 0x99AABBCC;
    s.dev_auth_alg_id = 0x00000401;
    s.total_space = 0x00012345;
    s.free_space = 0x00001234;
    s.feature_word = 0x0002;
    s.capability_word = 0xA55A;
  });
  const bytes r = transmit(apdu2e(0x80, 0x04, 0x00, 0x00, 288));
  ASSERT_EQ(sw_of(r), 0x9000);
  const bytes d = body(r);
  ASSERT_EQ(d.size(), 288u);
  struct field {
    size_t at;
    bytes value;
  };
  const std::vector<field> fields = {
      {0, {1, 2}},
      {2, {1, 2}},
      {4, padded("Maker", 64)},
      {68, padded("Issuer", 64)},
      {132, padded("The label", 32)},
      {164, padded("SERIAL-123", 32)},
      {196, {3, 4}},
      {198, {5, 6}},
      {200, {0x44, 0x33, 0x22, 0x11}},  // capabilities little-endian
      {204, {0x88, 0x77, 0x66, 0x55}},
      {208, {0xCC, 0xBB, 0xAA, 0x99}},
      {212, {0x01, 0x04, 0x00, 0x00}},
      {216, {0x00, 0x01, 0x23, 0x45}},  // spaces big-endian
      {220, {0x00, 0x00, 0x12, 0x34}},
      {224, {0x04, 0x20}},  // L = 1056
      {226, {0x00, 0x02}},
      {228, {0xA5, 0x5A}},
      {230, bytes(58, 0)},
  };
  for (const auto& f : fields) {
    SCOPED_TRACE(f.at);
    EXPECT_EQ(slice(d, f.at, f.value.size()), f.value);
  }

  // The short record: label, serial number, hardware and firmware version.
  const bytes s = body(transmit(apdu2e(0x80, 0x04, 0x01, 0x00, 68)));
  ASSERT_EQ(s.size(), 68u);
  EXPECT_EQ(slice(s, 0, 32), padded("The label", 32));
  EXPECT_EQ(slice(s, 32, 32), padded("SERIAL-123", 32));
  EXPECT_EQ(slice(s, 64, 4), (bytes{3, 4, 5, 6}));
}

TEST_F(device_cmds, FreshTokenReportsItsBusSerialAndDefaults) {
  const bytes d = body(transmit(apdu2e(0x80, 0x04, 0x00, 0x00, 0)));  // Le 0000: up to 65536
  ASSERT_EQ(d.size(), 288u);
  EXPECT_EQ(slice(d, 164, 32), padded(token().serial(), 32));
  EXPECT_EQ(slice(d, 224, 2), (bytes{0x04, 0x20}));
  EXPECT_EQ(slice(d, 226, 2), (bytes{0x00, 0x01})) << "no fingerprint sensor";
  const bytes s = body(transmit(apdu2e(0x80, 0x04, 0x01, 0x00, 68)));
  EXPECT_EQ(slice(s, 32, 32), padded(token().serial(), 32));
  EXPECT_EQ(s[64], 2) << "hardware major version 2: no host I/O delay";

  struct c {
    const char* what;
    bytes apdu;
    uint16_t sw;
  };
  const std::vector<c> bad = {
      {"P1 2", apdu2e(0x80, 0x04, 0x02, 0x00, 288), 0x6A86},
      {"P2 1", apdu2e(0x80, 0x04, 0x00, 0x01, 288), 0x6A86},
      {"Le 287", apdu2e(0x80, 0x04, 0x00, 0x00, 287), 0x6700},
      {"short Le 67", apdu2e(0x80, 0x04, 0x01, 0x00, 67), 0x6700},
      {"with data", apdu3e(0x80, 0x04, 0x00, 0x00, {0}), 0x6700},
  };
  for (const auto& k : bad) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(run(k.apdu), k.sw);
  }
}

TEST_F(device_cmds, LabelLengthsAndPadding) {
  struct c {
    const char* what;
    bytes data;
    uint16_t sw;
    std::string label;  // expected afterwards
  };
  const std::string l31(31, 'a'), l32(32, 'b'), l33(33, 'c');
  const bytes gb = {0xD6, 0xD0, 0xCE, 0xC4};  // GB18030 text
  bytes inner_zero = text("ab");
  inner_zero.push_back(0);
  inner_zero.push_back('c');
  const std::vector<c> cases = {
      {"31", text(l31), 0x9000, l31},
      {"32", text(l32), 0x9000, l32},
      {"33", text(l33), 0x6700, l32},
      {"zero padded", padded("pad", 32), 0x9000, "pad"},
      {"padded past 32", padded("pad", 33), 0x6700, "pad"},
      {"zero inside", inner_zero, 0x6A80, "pad"},
      {"GB18030", gb, 0x9000, std::string(gb.begin(), gb.end())},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(run(apdu3e(0x80, 0x02, 0x00, 0x00, k.data)), k.sw);
    EXPECT_EQ(state().label, k.label);
    const bytes d = body(transmit(apdu2e(0x80, 0x04, 0x00, 0x00, 288)));
    EXPECT_EQ(slice(d, 132, 32), padded(k.label, 32));
  }
  EXPECT_EQ(run(apdu3e(0x80, 0x02, 0x00, 0x01, text("x"))), 0x6A86);
}

TEST_F(device_cmds, SerialNumberIsTheListedName) {
  struct c {
    const char* what;
    bytes data;
    uint16_t sw;
  };
  const std::vector<c> cases = {
      {"64-byte zero-padded buffer", padded("SN-A1", 64), 0x9000},
      {"bare text", text("SN-B2"), 0x9000},
      {"32 characters", text(std::string(32, '7')), 0x9000},
      {"33 characters", text(std::string(33, '8')), 0x6A80},
      {"65 bytes", padded("SN", 65), 0x6700},
      {"empty text", bytes(64, 0), 0x6A80},
  };
  std::string expected = token().serial();
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(run(apdu3e(0x80, 0x02, 0x01, 0x00, k.data)), k.sw);
    if (k.sw == 0x9000) expected = std::string(k.data.begin(), std::find(k.data.begin(), k.data.end(), 0));
    const bytes s = body(transmit(apdu2e(0x80, 0x04, 0x01, 0x00, 68)));
    EXPECT_EQ(slice(s, 32, 32), padded(expected, 32));
  }
}

TEST_F(device_cmds, LedControlKeepsAValuePerSelector) {
  EXPECT_EQ(run(apdu3e(0xC0, 0x40, 0x00, 0x01, {0x00, 0x00, 0x01, 0xF4})), 0x9000);
  EXPECT_EQ(run(apdu3e(0xC0, 0x40, 0x00, 0x02, {0x12, 0x34, 0x56, 0x78})), 0x9000);
  EXPECT_EQ(run(apdu3e(0xC0, 0x40, 0x00, 0x03, {1, 2, 3})), 0x6700);
  EXPECT_EQ(run(apdu3e(0xC0, 0x40, 0x01, 0x03, {1, 2, 3, 4})), 0x6A86);
  bus().with_lock([&] {
    const auto& leds = token().os().volatiles().leds;
    EXPECT_EQ(leds.size(), 2u);
    EXPECT_EQ(leds.at(1), 500u);
    EXPECT_EQ(leds.at(2), 0x12345678u);
  });
}

// ---- raw vendor commands ----

TEST_F(device_cmds, ConfigurationCommandsAreAcknowledgedAndKept) {
  struct c {
    const char* what;
    uint8_t b0, b1, b2;
    bytes data;
    bytes ack;
  };
  const std::vector<c> cases = {
      {"vid/pid", 0xFC, 0x01, 0xAA, {0x3B, 0x7E, 0x08, 0xDB}, ack_ok},
      {"vid/pid 3 bytes", 0xFC, 0x01, 0xAA, {1, 2, 3}, ack_length},
      {"inquiry", 0xFC, 0x02, 0xAA, text("VENDOR  PRODUCT         "), ack_ok},
      {"BLE name", 0xFC, 0x04, 0xAA, {'B', 'L', 'E', 0x01}, ack_ok},
      {"BLE name 18 bytes", 0xFC, 0x04, 0xAA, bytes(18, 'n'), ack_length},
      {"BLE code", 0xFC, 0x05, 0xAA, bytes(32, '1'), ack_ok},
      {"BLE code 31 bytes", 0xFC, 0x05, 0xAA, bytes(31, '1'), ack_length},
      {"usb name", 0xFC, 0x07, 0xAA, text("RX Token"), ack_ok},
      {"ATR", 0xFC, 0x08, 0xAA, {0x3B, 0x00}, ack_ok},
      {"template", 0xFC, 0x10, 0xAA, text("TPL"), ack_ok},
      {"LCD", 0xFC, 0x12, 0xAA, text("hello"), ack_ok},
      {"usb vendor", 0xFC, 0x41, 0xAA, text("ACME"), ack_ok},
      {"usb vendor empty", 0xFC, 0x41, 0xAA, {}, ack_length},
      {"disable CD", 0xF8, 0xCC, 0xBB, {}, ack_ok},
      {"BLE sleep", 0xF8, 0xFF, 0x05, {}, ack_ok},
      {"CD writable", 0xF3, 0x30, 0xF2, {}, ack_ok},
      {"CD bad value", 0xF3, 0x30, 0x17, {}, bytes{0x6A, 0x80}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(raw(k.b0, k.b1, k.b2, k.data), k.ack);
  }
  bus().with_lock([&] {
    const vtok::vendor_settings& v = state().vendor;
    EXPECT_TRUE(v.usb_ids_set);
    EXPECT_EQ(v.usb_vid, 0x7e3b);
    EXPECT_EQ(v.usb_pid, 0xdb08);
    EXPECT_EQ(v.inquiry, text("VENDOR  PRODUCT         "));
    EXPECT_EQ(v.ble_name, text("BLE"));
    EXPECT_EQ(v.ble_name_flag, 1);
    EXPECT_EQ(v.ble_auth_code, bytes(32, '1'));
    EXPECT_EQ(v.usb_name, text("RX Token"));
    EXPECT_EQ(v.atr, (bytes{0x3B, 0x00}));
    EXPECT_EQ(v.display_template, text("TPL"));
    EXPECT_EQ(v.usb_vendor, text("ACME"));
    EXPECT_TRUE(v.cd_disabled);
    EXPECT_EQ(v.ble_sleep, 5);
    EXPECT_TRUE(v.cd_writable);
    EXPECT_EQ(token().os().volatiles().lcd_text, text("hello"));
  });
}

TEST_F(device_cmds, DataLongerThanOneReportIsRefused) {
  // 100 bytes declared, 44 arrive: nothing is stored.
  EXPECT_EQ(raw(0xFC, 0x07, 0xAA, bytes(44, 'x'), 100), ack_length);
  EXPECT_TRUE(state().vendor.usb_name.empty());
  EXPECT_EQ(raw(0xFC, 0x07, 0xAA, bytes(44, 'y'), 44), ack_ok);
  EXPECT_EQ(state().vendor.usb_name, bytes(44, 'y'));
}

TEST_F(device_cmds, CommandsWithAnAnswer) {
  EXPECT_EQ(raw(0xF3, 0x40, 0xF2), (bytes{0x00}));
  EXPECT_EQ(raw(0xF3, 0x30, 0xF2), ack_ok);
  EXPECT_EQ(raw(0xF3, 0x40, 0xF2), (bytes{0xF2}));
  EXPECT_EQ(raw(0xF3, 0x30, 0x00), ack_ok);
  EXPECT_EQ(raw(0xF3, 0x40, 0xF2), (bytes{0x00}));

  EXPECT_EQ(raw(0xFD, 0x01, 0xAA, bytes(16, 0)), bytes(16, 0));
  ASSERT_EQ(raw(0xFC, 0x04, 0xAA, {'N', 'a', 'm', 'e', 0x00}), ack_ok);
  EXPECT_EQ(raw(0xFD, 0x01, 0xAA, bytes(16, 0)), padded("Name", 16));

  EXPECT_EQ(raw(0xFC, 0x11, 0xAA, bytes(16, 0)), bytes{}) << "no template yet";
  ASSERT_EQ(raw(0xFC, 0x10, 0xAA, text("template-1")), ack_ok);
  EXPECT_EQ(raw(0xFC, 0x11, 0xAA, bytes(16, 0)), text("template-1"));

  EXPECT_EQ(raw(0xFC, 0x13, 0xAA, bytes(16, 0)), (bytes{0x00}));
  bus().with_lock([&] { token().os().volatiles().last_key = 3; });
  EXPECT_EQ(raw(0xFC, 0x13, 0xAA, bytes(16, 0)), (bytes{0x03}));
}

TEST_F(device_cmds, LongTemplateIsCutToOneReport) {
  bus().with_lock([&] { state().vendor.display_template = bytes(300, 0x5C); });
  EXPECT_EQ(raw(0xFC, 0x11, 0xAA, bytes(16, 0)), bytes(44, 0x5C));
}

TEST_F(device_cmds, UnknownBlocksGetNoAnswerAndAnswersDoNotLinger) {
  struct c {
    const char* what;
    uint8_t b0, b1, b2;
  };
  for (const c& k : {c{"unknown command", 0xFC, 0x7E, 0xAA}, c{"wrong magic", 0xFC, 0x01, 0xAB},
                     c{"get rw cd without F2", 0xF3, 0x40, 0x00}, c{"disable cd without BB", 0xF8, 0xCC, 0x00}}) {
    SCOPED_TRACE(k.what);
    ASSERT_EQ(send_raw(k.b0, k.b1, k.b2, {1, 2, 3, 4}), 0);
    bytes d;
    EXPECT_FALSE(read_raw(&d));
  }
  EXPECT_FALSE(state().vendor.usb_ids_set);

  // An unread raw answer is dropped by the next command frame, and an
  // unread APDU answer by the next raw command.
  ASSERT_EQ(send_raw(0xF8, 0xCC, 0xBB), 0);
  EXPECT_EQ(sw_of(transmit(apdu2e(0xC0, 0x08, 0, 0, 1))), 0x9000);
  ASSERT_EQ(host_->send_frame(request_frame(apdu2e(0xC0, 0x08, 0, 0, 1))), 0);
  EXPECT_EQ(raw(0xF3, 0x40, 0xF2), (bytes{0x00}));
  bytes d;
  EXPECT_FALSE(read_raw(&d)) << "only one answer queued";
}

// ---- what the saved state keeps ----

TEST_F(device_cmds, LabelOemAndVendorSettingsSurviveSaveAndRestore) {
  const bytes gb_label = {0xB2, 0xE2, 0xCA, 0xD4, '-', '1'};  // not UTF-8
  ASSERT_EQ(run(apdu3e(0x80, 0x02, 0x00, 0x00, gb_label)), 0x9000);
  ASSERT_EQ(run(apdu3e(0xC0, 0x0C, 0x00, 0x00, text("OEM-X"))), 0x9000);
  ASSERT_EQ(raw(0xFC, 0x41, 0xAA, text("VEND")), ack_ok);
  ASSERT_TRUE(token().take_state_changed());

  const std::string saved = token().save_state().dump();
  vtok::persistent_state back;
  std::string error;
  ASSERT_TRUE(back.from_json(nlohmann::json::parse(saved), &error)) << error;
  EXPECT_EQ(back.label, std::string(gb_label.begin(), gb_label.end()));
  EXPECT_EQ(slice(back.oem_data, 0, 6), (bytes{'O', 'E', 'M', '-', 'X', 0xFF}));
  EXPECT_EQ(back.vendor.usb_vendor, text("VEND"));

  // A replugged token keeps it; the volatile state (LEDs) starts over.
  ASSERT_EQ(run(apdu3e(0xC0, 0x40, 0x00, 0x01, {0, 0, 0, 1})), 0x9000);
  host_.reset();
  const std::string serial = token().serial();
  bus().unplug(serial);
  bus().replug(serial, true);
  host_ = std::make_unique<hid_host>(rx::plat::get());
  ASSERT_TRUE(host_->ok());
  const bytes d = body(transmit(apdu2e(0x80, 0x04, 0x00, 0x00, 288)));
  EXPECT_EQ(slice(d, 132, 6), gb_label);
  bus().with_lock([&] { EXPECT_TRUE(token().os().volatiles().leds.empty()); });
}

TEST(device_state, VersionOneDocumentsLoadWithDefaults) {
  const auto j = nlohmann::json{{"version", 1},
                                {"serial", "OLD1"},
                                {"label", std::string(40, 'L')},
                                {"manufacturer", "Old maker"},
                                {"firmware_version", 0x0203}};
  vtok::persistent_state s;
  std::string error;
  ASSERT_TRUE(s.from_json(j, &error)) << error;
  EXPECT_EQ(s.version, vtok::persistent_state::current_version);
  EXPECT_EQ(s.label, std::string(32, 'L')) << "cut to the record's field";
  EXPECT_EQ(s.manufacturer, "Old maker");
  EXPECT_EQ(s.firmware_version, 0x0203);
  EXPECT_EQ(s.oem_data, bytes(512, 0xFF));
  EXPECT_EQ(std::string(s.dev_auth_key.begin(), s.dev_auth_key.end()), "5093817246059381");
  EXPECT_EQ(s.dev_auth_retries, 15);
  EXPECT_EQ(s.max_command_data, 1056);

  // Damaged version-2 documents are refused without touching the state.
  const auto good = s.to_json();
  struct c {
    const char* what;
    const char* key;
    nlohmann::json value;
  };
  const std::vector<c> bad = {
      {"short key", "dev_auth_key", "0011"},
      {"odd hex", "oem_data", "ABC"},
      {"short OEM", "oem_data", "FFFF"},
      {"retries", "dev_auth_retries", 16},
      {"L", "max_command_data", 64},
      {"label", "label", std::string(33, 'x')},
      {"free above total", "free_space", 0x7FFFFFFF},
  };
  for (const auto& k : bad) {
    SCOPED_TRACE(k.what);
    auto doc = good;
    doc[k.key] = k.value;
    vtok::persistent_state t;
    t.label = "untouched";
    EXPECT_FALSE(t.from_json(doc));
    EXPECT_EQ(t.label, "untouched");
  }
}

}  // namespace

namespace {

TEST(device_config, PlugTimeSettingsMakeTokensDiffer) {
  vtok_env env(false);
  vtok::token_config a;
  a.serial = "CFG-A";
  a.label = "Alpha";
  a.oem = text("ACME");
  a.feature = 2;
  vtok::token_config b;
  b.serial = "CFG-B";
  b.label = std::string(40, 'B');  // cut to 32
  vtok::token& ta = env.bus.plug(a);
  vtok::token& tb = env.bus.plug(b);

  auto info = [](vtok::token& t) { return body(t.os().process(apdu2e(0x80, 0x04, 0x00, 0x00, 288))); };
  auto oem = [](vtok::token& t) { return body(t.os().process(apdu2e(0xC0, 0x0A, 0x00, 0x00, 512))); };
  const bytes ia = info(ta), ib = info(tb);
  EXPECT_EQ(slice(ia, 132, 32), padded("Alpha", 32));
  EXPECT_EQ(slice(ib, 132, 32), bytes(32, 'B'));
  EXPECT_EQ(slice(ia, 226, 2), (bytes{0x00, 0x02}));
  EXPECT_EQ(slice(ib, 226, 2), (bytes{0x00, 0x01}));
  // OEM text zero padded over the 128 bytes a host reads; the rest erased.
  bytes expect = padded("ACME", 128);
  expect.resize(512, 0xFF);
  EXPECT_EQ(oem(ta), expect);
  EXPECT_EQ(oem(tb), bytes(512, 0xFF));

  // A restored state keeps its own settings.
  vtok::token_config c = a;
  c.serial.clear();
  c.state = tb.save_state().dump();
  env.bus.unplug("CFG-B");
  vtok::virtual_bus other_bus(env.clock);
  vtok::token& tc = other_bus.plug(c);
  EXPECT_EQ(tc.serial(), "CFG-B");
  EXPECT_EQ(slice(info(tc), 132, 32), bytes(32, 'B'));
  EXPECT_EQ(oem(tc), bytes(512, 0xFF));
}

}  // namespace
