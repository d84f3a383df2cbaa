// Device_mgr, transmit_apdu, chaining and the exported app_*
// device functions over the HID transport, against the in-process virtual
// token (assertions on its transfer record and card OS).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "apdu/apdu_chain.h"
#include "apdu/apdu_registry.h"
#include "card_os.h"
#include "rx7100_app.h"
#include "transport/device_discover.h"
#include "transport/transport_reset.h"
#include "vtok_fixture.h"

using kind = vtok::transfer_entry::kind;

namespace {

// The APDUs the token received, from the OUT reports of its transfer record.
std::vector<std::vector<uint8_t>> commands_seen(const vtok::token& t) {
  std::vector<std::vector<uint8_t>> out;
  std::vector<uint8_t> frame;
  for (const auto& e : t.record()) {
    if (e.what != kind::interrupt_out || e.result != 0 || e.bytes.size() != 64) continue;
    uint8_t f = e.bytes[0];
    if (f & 0x80) frame.clear();
    frame.insert(frame.end(), e.bytes.begin() + 1, e.bytes.begin() + 1 + (f & 0x3f));
    if ((f & 0x40) && frame.size() >= 23) {
      int n = (frame[21] << 8) | frame[22];
      out.emplace_back(frame.begin() + 23, frame.begin() + 23 + n);
    }
  }
  return out;
}

class app_exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<vtok_env>();
    rx::transport::reset_state();
    set_max_transmit_len(1024);
    // A test handler that accepts anything, answering its data (for chaining).
    token().os().register_handler(0x80, 0xEE, [this](vtok::card_os&, const vtok::command& c) {
      last_data_ = c.data;
      ++completed_;
      vtok::response r;
      r.data = c.data.size() <= 16 ? c.data : std::vector<uint8_t>();
      return r;
    });
    ASSERT_EQ(app_enum_device(kRxDefaultDeviceCriteria), 1);
    ASSERT_NE(app_get_first_dev(&h_, RX_DEV_STATE_INITIAL), nullptr);
    ASSERT_NE(h_, nullptr);
    ASSERT_EQ(app_connect_device(h_), 0);
  }
  void TearDown() override {
    rx::transport::reset_state();
    env_.reset();
  }
  vtok::token& token() { return *env_->token; }

  std::unique_ptr<vtok_env> env_;
  void* h_ = nullptr;
  std::vector<uint8_t> last_data_;
  int completed_ = 0;
};

TEST_F(app_exchange, GenRandomThroughTransmitApdu) {
  apdu a(18, 0x80, 0x50, 0x00, 0x00, "GenRandom");
  a.set_le(16);
  int sw = 0;
  EXPECT_EQ(get_dev_mgr()->transmit_apdu(h_, &a, &sw), 0);
  EXPECT_EQ(sw, 0x9000);
  int len = 0;
  EXPECT_NE(a.get_response_data(&len), nullptr);
  EXPECT_EQ(len, 16);
  auto cmds = commands_seen(token());
  ASSERT_FALSE(cmds.empty());
  EXPECT_EQ(cmds.back(), (std::vector<uint8_t>{0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x10}));
}

TEST_F(app_exchange, UnknownInsPassesTheStatusThrough) {
  apdu a(1, 0x80, 0x77, 0x00, 0x00, "Nope");
  int sw = 0;
  EXPECT_EQ(get_dev_mgr()->transmit_apdu(h_, &a, &sw), 0);
  EXPECT_EQ(sw, 0x6D00);
}

TEST_F(app_exchange, InvalidRecordIs8001AndNothingIsSent) {
  apdu a(19, 0x80, 0xEE, 0, 0, "Bad");
  const uint8_t d[] = {1, 2, 3};
  a.set_lc_data(d, 3);
  a.set_le(4);
  token().clear_record();
  int sw = 0;
  EXPECT_EQ(get_dev_mgr()->transmit_apdu(h_, &a, &sw), 1);
  EXPECT_EQ(sw, 0x8001);
  apdu b(19, 0x80, 0xEE, 0, 0, "Bad2");
  b.set_lc_data(d, 3);
  b.set_lc(2);
  EXPECT_EQ(get_dev_mgr()->transmit_apdu(h_, &b, &sw), 1);
  EXPECT_EQ(sw, 0x8001);
  EXPECT_TRUE(token().record().empty());
}

TEST_F(app_exchange, TwoByteAndOneByteResponses) {
  token().os().register_handler(0x80, 0xE1, [](vtok::card_os&, const vtok::command&) {
    return vtok::response::status(0x6A82);
  });
  apdu a(1, 0x80, 0xE1, 0, 0, "Two");
  int sw = 0;
  EXPECT_EQ(get_dev_mgr()->transmit_apdu(h_, &a, &sw), 0);
  EXPECT_EQ(sw, 0x6A82);
  int len = -1;
  EXPECT_EQ(a.get_response_data(&len), nullptr);
  EXPECT_EQ(len, 0);
  // A 1-byte response: through the raw exchange the frame delivers 1 byte,
  // which the record cannot decode.
  apdu b(1, 0x80, 0xE1, 0, 0, "One");
  const uint8_t one[] = {0x90};
  EXPECT_EQ(b.deserialize(one, 1), APDU_ERR_RESPONSE);
}

// The virtual token always answers data + SW1 SW2, so a 1-byte response is
// made by rewriting the declared data length of its response frame to 1 on
// the way in (a thin wrapper over the in-process backend).
class one_byte_backend : public vtok::sim_backend {
 public:
  using vtok::sim_backend::sim_backend;
  bool cut = false;
  int usb_interrupt_transfer(rx::plat::usb_device_handle* h, uint8_t ep, uint8_t* data, int length,
                             int* transferred, unsigned int timeout_ms) override {
    int r = vtok::sim_backend::usb_interrupt_transfer(h, ep, data, length, transferred, timeout_ms);
    if (cut && (ep & 0x80) && r == 0 && (data[0] & 0x80)) {
      data[1 + 21] = 0;
      data[1 + 22] = 1;
    }
    return r;
  }
};

TEST_F(app_exchange, OneByteResponseIs8005Result6) {
  one_byte_backend b(env_->bus, env_->clock, 0);
  rx::transport::reset_state();
  rx::plat::set(&b);
  ASSERT_EQ(app_enum_device(kRxDefaultDeviceCriteria), 1);
  void* h = nullptr;
  ASSERT_NE(app_get_first_dev(&h, RX_DEV_STATE_INITIAL), nullptr);
  ASSERT_EQ(app_connect_device(h), 0);
  b.cut = true;
  apdu a(18, 0x80, 0x50, 0, 0, "GenRandom");
  a.set_le(8);
  int sw = 0;
  EXPECT_EQ(get_dev_mgr()->transmit_apdu(h, &a, &sw), 6);
  EXPECT_EQ(sw, 0x8005);
  rx::transport::reset_state();
  rx::plat::set(&env_->backend);
}

TEST_F(app_exchange, DeclaredLengthLongIs8004Result7) {
  token().arm_fault({vtok::fault_kind::declared_length_long, 1, 5, 0});
  apdu a(18, 0x80, 0x50, 0, 0, "GenRandom");
  a.set_le(8);
  int sw = 0;
  EXPECT_EQ(get_dev_mgr()->transmit_apdu(h_, &a, &sw), 7);
  EXPECT_EQ(sw, 0x8004);
}

TEST_F(app_exchange, UnplugBetweenDiscoveryAndExchangeIs8003) {
  env_->bus.unplug(token().serial());
  apdu a(18, 0x80, 0x50, 0, 0, "GenRandom");
  a.set_le(8);
  int sw = 0;
  EXPECT_EQ(get_dev_mgr()->transmit_apdu(h_, &a, &sw), 7);
  EXPECT_EQ(sw, 0x8003);
}

TEST_F(app_exchange, UnknownHandleIs8003Result3) {
  apdu a(18, 0x80, 0x50, 0, 0, "GenRandom");
  int sw = 0;
  EXPECT_EQ(get_dev_mgr()->transmit_apdu(reinterpret_cast<void*>(0x1), &a, &sw), 3);
  EXPECT_EQ(sw, 0x8003);
  unsigned char buf[16];
  int len = 16;
  EXPECT_EQ(get_dev_mgr()->device_io(nullptr, buf, 4, buf, &len, &sw, 0), 1);
  EXPECT_EQ(sw, 0x8002);
}

TEST_F(app_exchange, ChainingSplitsIntoMaxTransmitChunks) {
  std::vector<uint8_t> data(2500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  apdu head(19, 0x80, 0xEE, 0x00, 0x00, "ImportCertificate");
  const uint8_t total[] = {0x09, 0xC4};  // the head carries the total length
  head.set_lc_data(total, 2);
  token().clear_record();
  EXPECT_EQ(app_transmit_chained(h_, &head, data.data(), 2500), 0);
  EXPECT_EQ(get_last_sw(), 0x9000);
  auto cmds = commands_seen(token());
  ASSERT_EQ(cmds.size(), 4u);
  EXPECT_EQ(cmds[0][0], 0x90);
  EXPECT_EQ(cmds[0].size(), 7u + 2u);
  const int sizes[] = {1024, 1024, 452};
  const uint8_t clas[] = {0x90, 0x90, 0x80};
  size_t off = 0;
  for (int i = 0; i < 3; ++i) {
    const auto& c = cmds[i + 1];
    EXPECT_EQ(c[0], clas[i]) << i;
    EXPECT_EQ(c[1], 0xEE);
    EXPECT_EQ((c[5] << 8) | c[6], sizes[i]);
    ASSERT_EQ(c.size(), 7u + sizes[i]);
    EXPECT_TRUE(std::equal(c.begin() + 7, c.end(), data.begin() + off));
    off += sizes[i];
  }
  // The card OS saw one completed command with head and chunks joined.
  EXPECT_EQ(completed_, 1);
  EXPECT_EQ(last_data_.size(), 2502u);
}

TEST_F(app_exchange, ChainingStopsAtARejectedPart) {
  token().arm_fault({vtok::fault_kind::force_sw, 2, 0xEE, 0x6A80});
  std::vector<uint8_t> data(3000, 1);
  apdu head(19, 0x80, 0xEE, 0, 0, "ImportCertificate");
  const uint8_t total[] = {0x0B, 0xB8};
  head.set_lc_data(total, 2);
  EXPECT_EQ(app_transmit_chained(h_, &head, data.data(), 3000), 2);
  EXPECT_EQ(get_last_sw(), 0x6A80);
}

TEST_F(app_exchange, ChainingWithoutDataOrWithBadMaxIsRefusedBeforeSending) {
  apdu head(19, 0x80, 0xEE, 0, 0, "ImportCertificate");
  const uint8_t total[] = {0, 0};
  head.set_lc_data(total, 2);
  token().clear_record();
  const uint8_t d[] = {1};
  EXPECT_EQ(app_transmit_chained(h_, &head, nullptr, 0), 1);
  EXPECT_EQ(get_last_sw(), 0x8001);
  EXPECT_EQ(app_transmit_chained(h_, &head, d, 0), 1);
  set_max_transmit_len(0);
  EXPECT_EQ(app_transmit_chained(h_, &head, d, 1), 1);
  set_max_transmit_len(-5);
  EXPECT_EQ(app_transmit_chained(h_, &head, d, 1), 1);
  set_max_transmit_len(1024);
  EXPECT_TRUE(token().record().empty());
}

TEST_F(app_exchange, AppTransmitCapacity) {
  std::vector<uint8_t> cmd = {0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x20};  // 32 random bytes
  unsigned char resp[2048];
  int len = sizeof(resp);
  EXPECT_EQ(app_transmit(h_, cmd.data(), 7, resp, &len), 0);
  EXPECT_EQ(len, 34);
  EXPECT_EQ(resp[32], 0x90);
  len = 33;
  EXPECT_EQ(app_transmit(h_, cmd.data(), 7, resp, &len), RX_APP_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 34);
  len = 0;
  EXPECT_EQ(app_transmit(h_, cmd.data(), 7, nullptr, &len), RX_APP_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 34);
  EXPECT_EQ(app_transmit(h_, cmd.data(), 7, resp, nullptr), 1);
  len = sizeof(resp);
  EXPECT_EQ(app_transmit(nullptr, cmd.data(), 7, resp, &len), 1);
  EXPECT_EQ(get_last_sw(), 0x8003);
  std::vector<uint8_t> huge(1134, 0);
  len = sizeof(resp);
  EXPECT_EQ(app_transmit(h_, huge.data(), 1134, resp, &len), 1);
}

TEST_F(app_exchange, HandlesAreOpaqueAndNeverReused) {
  void* first = h_;
  char path[256] = {0};
  EXPECT_EQ(app_dev_get_os_path(first, path), 0);
  EXPECT_EQ(std::strncmp(path, "hid_vid_7e3b&pid_e618&addr_", 27), 0);
  int type = -1;
  EXPECT_EQ(app_get_dev_type(first, &type), 0);
  EXPECT_EQ(type, 1);
  // Unplug, destroy, replug at the same address: a new object, a new handle.
  env_->bus.unplug(token().serial());
  EXPECT_EQ(app_enum_device(kRxDefaultDeviceCriteria), 0);
  int state = -1;
  EXPECT_EQ(app_get_dev_state(first, &state), 1);
  env_->bus.replug(token().serial(), true);
  EXPECT_EQ(app_enum_device(kRxDefaultDeviceCriteria), 1);
  void* second = nullptr;
  ASSERT_NE(app_get_first_dev(&second, RX_DEV_STATE_INITIAL), nullptr);
  EXPECT_NE(second, first);
  char path2[256] = {0};
  EXPECT_EQ(app_dev_get_os_path(second, path2), 0);
  EXPECT_STREQ(path, path2);
  EXPECT_EQ(app_dev_get_os_path(first, path2), 1);
  EXPECT_EQ(app_connect_device(first), 1);
  EXPECT_EQ(app_disconnect_device(first), 1);
  EXPECT_EQ(app_set_dev_name(first, "x"), 1);
  EXPECT_EQ(app_get_dev_name(first), nullptr);
}

TEST_F(app_exchange, NamesStatesAndIteration) {
  EXPECT_EQ(app_set_dev_name(h_, "TOKEN-A"), 0);
  EXPECT_STREQ(app_get_dev_name(h_), "TOKEN-A");
  EXPECT_EQ(app_get_dev_by_name("TOKEN-A"), h_);
  EXPECT_EQ(app_get_dev_by_name("nope"), nullptr);
  void* h2 = nullptr;
  EXPECT_EQ(app_connect_device_by_name("TOKEN-A", &h2), 0);
  EXPECT_EQ(h2, h_);
  EXPECT_EQ(app_connect_device_by_name("nope", &h2), 1);

  env_->bus.plug({});
  int removed = -1, added = -1;
  EXPECT_EQ(app_update_dev_state(&removed, &added, kRxDefaultDeviceCriteria), 0);
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(added, 1);
  void* h = nullptr;
  EXPECT_NE(app_get_first_dev(&h, RX_DEV_STATE_ARRIVED), nullptr);
  EXPECT_NE(h, h_);
  EXPECT_EQ(app_get_next_dev(&h, RX_DEV_STATE_ARRIVED), nullptr);
  EXPECT_EQ(h, nullptr);
  EXPECT_STREQ(app_get_first_dev(&h, RX_DEV_STATE_PRESENT), "TOKEN-A");
  EXPECT_EQ(h, h_);
  int n = 0;
  for (const char* s = app_get_first_dev(&h, RX_DEV_STATE_INITIAL); s;
       s = app_get_next_dev(&h, RX_DEV_STATE_INITIAL))
    ++n;
  EXPECT_EQ(n, 2);

  EXPECT_EQ(app_set_dev_state(h_, RX_DEV_STATE_ARRIVED), 0);
  int state = -1;
  EXPECT_EQ(app_get_dev_state(h_, &state), 0);
  EXPECT_EQ(state, RX_DEV_STATE_ARRIVED);
  void* os = reinterpret_cast<void*>(1);
  EXPECT_EQ(app_get_dev_os_handle(h_, &os), 0);
  EXPECT_EQ(os, nullptr);
  EXPECT_EQ(app_lock_device(h_, 1000), 0);
  EXPECT_EQ(app_unlock_device(h_), 0);
  EXPECT_EQ(app_begin_transaction(h_), 0);
  EXPECT_EQ(app_end_transaction(h_), 0);
  EXPECT_EQ(app_lock_device(nullptr, 1000), 1);
  int size = -1;
  EXPECT_EQ(app_dev_get_hs_data_size(h_, &size), 0);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(app_dev_enable_high_speed(h_, 1), 0);
  EXPECT_EQ(app_dev_get_hs_data_size(nullptr, &size), 1);
  EXPECT_EQ(app_add_exist_device("x", nullptr), nullptr);
  EXPECT_EQ(app_delete_device(h_), 0);
  EXPECT_EQ(app_destroy_removed_devs(), 0);
  EXPECT_EQ(app_disconnect_device(h_), 0);
}

TEST_F(app_exchange, RemovedDeviceCursorEndsIterationSafely) {
  env_->bus.plug({});
  ASSERT_EQ(app_enum_device(kRxDefaultDeviceCriteria), 2);
  void* h = nullptr;
  ASSERT_NE(app_get_first_dev(&h, RX_DEV_STATE_INITIAL), nullptr);
  env_->bus.unplug(token().serial());
  int removed = 0, added = 0;
  app_update_dev_state(&removed, &added, kRxDefaultDeviceCriteria);
  EXPECT_EQ(removed, 1);
  app_destroy_removed_devs();
  EXPECT_EQ(app_get_next_dev(&h, RX_DEV_STATE_INITIAL), nullptr);
  EXPECT_EQ(h, nullptr);
}

}  // namespace
