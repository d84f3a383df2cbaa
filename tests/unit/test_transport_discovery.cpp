// The device manager and the HID discoverer: criteria parsing, naming,
// classification, the insert flag and the reconciliation of discovery
// passes, against the in-process virtual token.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transport/device_factory.h"
#include "transport/device_manager.h"
#include "transport/hid_device_discover.h"
#include "transport/hid_usb.h"
#include "transport/linux_device_hid.h"
#include "transport/linux_device_hid_ctrio.h"
#include "transport/transport_reset.h"
#include "vtok_fixture.h"

namespace {

vtok::token_config usb_token(vtok::transport_kind kind, uint16_t vid, uint16_t pid) {
  vtok::token_config c;
  c.transport = kind;
  c.vid = vid;
  c.pid = pid;
  return c;
}

// ---------------------------------------------------------------- criteria

struct criteria_case {
  const char* name;
  const char* criteria;
  int result;
  const char* f1;
  const char* f2;
  const char* f3;
};

class criteria_split : public ::testing::TestWithParam<criteria_case> {};

TEST_P(criteria_split, ManagerSplitter) {
  const criteria_case& c = GetParam();
  char f1[kNameLen] = {0}, f2[kNameLen] = {0}, f3[kCriteriaMax] = {0};
  EXPECT_EQ(device_manager::split_enum_strings(c.criteria, f1, f2, f3), c.result);
  EXPECT_STREQ(f1, c.f1);
  EXPECT_STREQ(f2, c.f2);
  EXPECT_STREQ(f3, c.f3);
}

INSTANTIATE_TEST_SUITE_P(
    Table, criteria_split,
    ::testing::Values(
        criteria_case{"default", kRxDefaultDeviceCriteria, 0, "rx7100",
                      "vid_7e3b&pid_db08|vid_7e3b&pid_e618|vid_7e3b&pid_f603",
                      "vid_7e3b&pid_e618|vid_7e3b&pid_f603"},
        criteria_case{"empty", "", 1, "", "", ""},
        criteria_case{"only commas", ",,,", 1, "", "", ""},
        criteria_case{"one field", "rx7100", 2, "rx7100", "", ""},
        criteria_case{"two fields", "rx7100,usb", 0, "rx7100", "usb", ""},
        criteria_case{"empty middle field vanishes", "rx7100,,vid_7e3b&pid_e618", 0, "rx7100",
                      "vid_7e3b&pid_e618", ""},
        criteria_case{"leading comma", ",a,b", 0, "a", "b", ""},
        criteria_case{"blanks kept", " a, b, c", 0, " a", " b", " c"},
        criteria_case{"fourth field ignored", "a,b,c,d", 0, "a", "b", "c"}),
    [](const ::testing::TestParamInfo<criteria_case>& i) {
      std::string s = i.param.name;
      for (char& ch : s)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return s;
    });

TEST(criteria, BaseSplitterTrimsOnlyWithAThirdField) {
  char f1[kNameLen] = {0}, f2[kNameLen] = {0}, f3[kCriteriaMax] = {0};
  EXPECT_EQ(device_discover::split_enum_strings(" a,\tb, c", f1, f2, f3), 0);
  EXPECT_STREQ(f1, "a");
  EXPECT_STREQ(f2, "b");
  EXPECT_STREQ(f3, "c");
  char g1[kNameLen] = {0}, g2[kNameLen] = {0}, g3[kCriteriaMax] = {0};
  EXPECT_EQ(device_discover::split_enum_strings(" a, b", g1, g2, g3), 0);
  EXPECT_STREQ(g1, " a");
  EXPECT_STREQ(g2, " b");
}

TEST(criteria, HidListAtMostSixteenEntries) {
  std::string list;
  for (int i = 0; i < 20; ++i) {
    char e[32];
    std::snprintf(e, sizeof(e), "%svid_7e3b&pid_%04x", i ? "||" : "", i);
    list += e;
  }
  char out[kHidListEntries][kNameLen];
  std::memset(out, 0, sizeof(out));
  EXPECT_EQ(device_discover::split_hid_strings(list.c_str(), out, kHidListEntries), 16);
  EXPECT_STREQ(out[0], "vid_7e3b&pid_0000");
  EXPECT_STREQ(out[15], "vid_7e3b&pid_000f");
}

TEST(criteria, Ltrim) {
  char s[] = " \t x y";
  device_discover::ltrim(s);
  EXPECT_STREQ(s, "x y");
}

TEST(device_base_defaults, FailureValues) {
  device_base b;
  EXPECT_EQ(b.open(), -1);
  EXPECT_EQ(b.close(), -1);
  EXPECT_EQ(b.send_data(nullptr, 0), -1);
  EXPECT_EQ(b.receive_data(nullptr, nullptr), -1);
  EXPECT_EQ(b.device_io(nullptr, 0, nullptr, nullptr), -1);
  EXPECT_EQ(b.set_comm_timeout(5), -1);
  EXPECT_EQ(b.get_dev_path(), nullptr);
  EXPECT_EQ(b.get_dev_state(), DEV_STATE_INITIAL);
  EXPECT_EQ(b.get_device_type(), 0);
  EXPECT_EQ(b.dev_present(), 0);
  int size = 7;
  EXPECT_EQ(b.get_hs_apdu_size(&size), 0);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(b.lock(100), 0);
  EXPECT_EQ(b.begin_transaction(-1), 0);
  EXPECT_EQ(b.unlock(), 0);
  EXPECT_EQ(b.end_transaction(), 0);
  device_locker l;
  EXPECT_EQ(l.init("x", nullptr), 1);
  EXPECT_EQ(l.lock(0), 1);
  device_mutex_locker m;
  EXPECT_EQ(m.init("x", nullptr), 0);
  EXPECT_STREQ(m.name(), "");
  device_base c;
  EXPECT_NE(b.handle_id(), c.handle_id());
}

// -------------------------------------------------------------- discovery

std::string hid_path(const vtok::token& t, int addr_field = -1) {
  char p[64];
  std::snprintf(p, sizeof(p), "hid_vid_%04x&pid_%04x&addr_%04x", t.vid(), t.pid(),
                addr_field < 0 ? t.address() : addr_field);
  return p;
}

class discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<vtok_env>();
    rx::transport::reset_state();
    mgr_ = os_selector::get_device_discover();
  }
  void TearDown() override {
    rx::transport::reset_state();
    env_.reset();
  }
  std::vector<std::string> paths() {
    std::vector<std::string> out;
    void* pos = nullptr;
    for (device_base* d = mgr_->get_first_device(pos); d; d = mgr_->get_next_device(pos))
      out.push_back(d->get_dev_path());
    return out;
  }
  vtok::token& token() { return *env_->token; }
  vtok::virtual_bus& bus() { return env_->bus; }

  std::unique_ptr<vtok_env> env_;
  device_manager* mgr_ = nullptr;
};

TEST_F(discovery, OneTokenArrivedThenPresent) {
  int removed = -1, added = -1;
  EXPECT_EQ(mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria), 1);
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(added, 1);
  ASSERT_EQ(mgr_->get_device_number(), 1);
  void* pos = nullptr;
  device_base* d = mgr_->get_first_device(pos);
  EXPECT_EQ(std::string(d->get_dev_path()), hid_path(token()));
  EXPECT_EQ(d->get_dev_state(), DEV_STATE_ARRIVED);
  EXPECT_EQ(d->get_device_type(), 1);
  EXPECT_EQ(mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria), 1);
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(added, 0);
  EXPECT_EQ(d->get_dev_state(), DEV_STATE_PRESENT);
  EXPECT_EQ(mgr_->get_device_by_position(pos), d);
}

TEST_F(discovery, UnplugMarksRemovedClosesAndDestroyLater) {
  int removed = 0, added = 0;
  mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria);
  void* pos = nullptr;
  auto* d = dynamic_cast<linux_device_hid*>(mgr_->get_first_device(pos));
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->open(), 0);
  ASSERT_TRUE(d->is_open());
  bus().unplug(token().serial());
  EXPECT_EQ(mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria), 0);
  EXPECT_EQ(removed, 1);
  EXPECT_EQ(added, 0);
  EXPECT_FALSE(d->is_open());
  EXPECT_EQ(d->get_dev_state(), DEV_STATE_REMOVED);
  EXPECT_EQ(mgr_->get_device_number(), 1);
  mgr_->destroy_removed_deviced();
  EXPECT_EQ(mgr_->get_device_number(), 0);
}

TEST_F(discovery, ReplugSameAddressBeforeDestructionIsPresentAgain) {
  int removed = 0, added = 0;
  mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria);
  void* pos = nullptr;
  device_base* d = mgr_->get_first_device(pos);
  bus().unplug(token().serial());
  mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria);
  EXPECT_EQ(d->get_dev_state(), DEV_STATE_REMOVED);
  bus().replug(token().serial(), true);
  mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria);
  EXPECT_EQ(added, 0);
  EXPECT_EQ(d->get_dev_state(), DEV_STATE_PRESENT);
  EXPECT_EQ(mgr_->get_device_number(), 1);
}

TEST_F(discovery, ReplugAtANewAddressMakesANewObject) {
  int removed = 0, added = 0;
  mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria);
  const std::string old_path = hid_path(token());
  bus().unplug(token().serial());
  vtok::token& t = bus().replug(token().serial(), false);
  ASSERT_NE(hid_path(t), old_path);
  mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria);
  EXPECT_EQ(removed, 1);
  EXPECT_EQ(added, 1);
  auto p = paths();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0], old_path);
  EXPECT_EQ(p[1], hid_path(t));
  void* pos = nullptr;
  EXPECT_EQ(mgr_->get_first_device(pos)->get_dev_state(), DEV_STATE_REMOVED);
  EXPECT_EQ(mgr_->get_next_device(pos)->get_dev_state(), DEV_STATE_ARRIVED);
  mgr_->destroy_removed_deviced();
  EXPECT_EQ(paths(), std::vector<std::string>{hid_path(t)});
}

TEST_F(discovery, CriteriaWithoutHidFieldFindsNothing) {
  int removed = 0, added = 0;
  EXPECT_EQ(mgr_->update_devices(&removed, &added, "rx7100,,vid_7e3b&pid_e618"), 0);
  EXPECT_EQ(mgr_->update_devices(&removed, &added, "rx7100"), 0);
  EXPECT_EQ(mgr_->update_devices(&removed, &added, ""), 0);
  EXPECT_EQ(mgr_->get_device_number(), 0);
  // A leading comma vanishes too: the HID list becomes field 2.
  EXPECT_EQ(mgr_->update_devices(&removed, &added, ",usb,vid_7e3b&pid_e618"), 0);
  EXPECT_EQ(mgr_->update_devices(&removed, &added, "x,usb,vid_7e3b&pid_e618"), 1);
}

TEST_F(discovery, OnlyListedIdsMatch) {
  bus().plug(usb_token(vtok::transport_kind::hid, 0x7e3b, 0xf603));
  bus().plug_other(0x1234, 0x5678, 3);
  int removed = 0, added = 0;
  EXPECT_EQ(mgr_->update_devices(&removed, &added, "x,y,vid_7e3b&pid_f603"), 1);
  EXPECT_EQ(mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria), 2);
  EXPECT_EQ(mgr_->update_devices(&removed, &added, "x,y,VID_7E3B&PID_F603"), 0);
}

TEST_F(discovery, HidCtrLayoutIsNamedHidctr) {
  vtok::token& ctr = bus().plug(usb_token(vtok::transport_kind::hidctr, 0x7e3b, 0xf603));
  int removed = 0, added = 0;
  EXPECT_EQ(mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria), 2);
  char expect[64];
  std::snprintf(expect, sizeof(expect), "hidctr_vid_7e3b&pid_f603&addr_%04x", ctr.address());
  auto p = paths();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[1], expect);
  // The path selects the control-channel transport, which opens the token.
  device_base* d = mgr_->get_device_by_path(expect);
  ASSERT_NE(d, nullptr);
  EXPECT_NE(dynamic_cast<linux_device_hid_ctrio*>(d), nullptr);
  EXPECT_EQ(d->get_device_type(), 1);
  EXPECT_EQ(d->open(), 0);
}

TEST_F(discovery, CreateDevicePicksTheTransportByPath) {
  device_base* a = mgr_->create_device("hidctr_vid_7e3b&pid_e618&addr_0009");
  device_base* b = mgr_->create_device("hid_vid_7e3b&pid_e618&addr_0009");
  device_base* c = mgr_->create_device("/dev/sg3");
  EXPECT_EQ(dynamic_cast<linux_device_hid*>(a), nullptr);
  EXPECT_NE(dynamic_cast<linux_device_hid*>(b), nullptr);
  EXPECT_EQ(c->get_device_type(), 0);
  EXPECT_EQ(mgr_->create_device("/dev/sg3"), c);
  EXPECT_EQ(mgr_->get_device_number(), 3);
  EXPECT_EQ(mgr_->contains_string("/dev/sg3", nullptr, 0), -1);
}

TEST_F(discovery, IterationInCreationOrderAndNullCursor) {
  bus().plug(usb_token(vtok::transport_kind::hid, 0x7e3b, 0xe618));
  bus().plug(usb_token(vtok::transport_kind::hid, 0x7e3b, 0xe618));
  EXPECT_EQ(mgr_->enum_and_create_devices(kRxDefaultDeviceCriteria), 3);
  void* pos = nullptr;
  device_base* first = mgr_->get_next_device(pos);  // null cursor: the first
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, mgr_->get_device(0));
  EXPECT_NE(mgr_->get_device(2), nullptr);
  EXPECT_EQ(mgr_->get_device(3), nullptr);
  int n = 1;
  while (mgr_->get_next_device(pos)) ++n;
  EXPECT_EQ(n, 3);
  EXPECT_EQ(pos, nullptr);
}

TEST_F(discovery, SameAddressOnTwoBusesGetsTheBusInThePath) {
  // The fixture's token is on bus 1; plug another at the same address on bus 2.
  vtok::token_config cfg = usb_token(vtok::transport_kind::hid, 0x7e3b, 0xe618);
  cfg.bus = 2;
  cfg.address = token().address();
  vtok::token& other = bus().plug(cfg);
  ASSERT_EQ(other.bus(), 2);
  ASSERT_EQ(other.address(), token().address());
  int removed = 0, added = 0;
  EXPECT_EQ(mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria), 2);
  auto p = paths();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_NE(p[0], p[1]);
  std::vector<std::string> expect = {hid_path(token(), (1 << 8) | token().address()),
                                     hid_path(other, (2 << 8) | other.address())};
  std::sort(p.begin(), p.end());
  std::sort(expect.begin(), expect.end());
  EXPECT_EQ(p, expect);
  // Each object opens its own token.
  for (const std::string& path : p) {
    auto* d = dynamic_cast<linux_device_hid*>(mgr_->get_device_by_path(path.c_str()));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->open(), 0);
    EXPECT_TRUE(d->is_open());
  }
  auto opens = [](vtok::token& t) {
    int n = 0;
    for (const auto& e : t.record())
      if (e.what == vtok::transfer_entry::kind::open) ++n;
    return n;
  };
  EXPECT_EQ(opens(token()), 1);
  EXPECT_EQ(opens(other), 1);
}

TEST_F(discovery, InsertFlagRaisedWhenTheCountChanges) {
  hid_device_discover& hid = mgr_->hid_discoverer();
  char names[kNameTableEntries][kNameLen];
  rx::hid::insert_flag() = 0;
  EXPECT_EQ(hid.discover_devices("vid_7e3b&pid_e618", names), 1);
  EXPECT_EQ(rx::hid::insert_flag(), 1);  // -1 -> 1
  rx::hid::insert_flag() = 0;
  EXPECT_EQ(hid.discover_devices("vid_7e3b&pid_e618", names), 1);
  EXPECT_EQ(rx::hid::insert_flag(), 0);
  bus().plug({});
  EXPECT_EQ(hid.discover_devices("vid_7e3b&pid_e618", names), 2);
  EXPECT_EQ(rx::hid::insert_flag(), 1);
}

TEST_F(discovery, FirstPassFindingNoneLeavesTheFlagDown) {
  hid_device_discover& hid = mgr_->hid_discoverer();
  char names[kNameTableEntries][kNameLen];
  rx::hid::insert_flag() = 0;
  EXPECT_EQ(hid.discover_devices("vid_0000&pid_0000", names), 0);
  EXPECT_EQ(rx::hid::insert_flag(), 0);
}

TEST_F(discovery, PluggingASecondTokenShortensTheNextTransfer) {
  int removed = 0, added = 0;
  mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria);
  void* pos = nullptr;
  auto* d = dynamic_cast<linux_device_hid*>(mgr_->get_first_device(pos));
  ASSERT_EQ(d->open(), 0);
  std::vector<uint8_t> cmd = {0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08};
  std::vector<uint8_t> buf(2048);
  int len = 2048;
  ASSERT_EQ(d->device_io(cmd.data(), 7, buf.data(), &len), 0);  // consumes the first raise
  bus().plug({});
  mgr_->update_devices(&removed, &added, kRxDefaultDeviceCriteria);
  EXPECT_EQ(added, 1);
  d->set_comm_timeout(10000);
  token().clear_record();
  len = 2048;
  ASSERT_EQ(d->device_io(cmd.data(), 7, buf.data(), &len), 0);
  auto rec = token().record();
  bool saw = false;
  for (const auto& e : rec)
    if (e.what == vtok::transfer_entry::kind::interrupt_out) {
      EXPECT_EQ(e.timeout_ms, 3000u);
      saw = true;
    }
  EXPECT_TRUE(saw);
}

}  // namespace
