// Listing and connecting tokens through the token API against virtual
// tokens: name lists and their size protocol, the OEM filter, connection by
// a name never listed or absent, several handles on one token, device state.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "skf_device_test_env.h"
#include "token_api/skf_device_list.h"

namespace {

using namespace std::string_literals;

TEST_F(SkfDeviceTest, NoTokenGivesSizeZeroAndLeavesTheBufferAlone) {
  char buf[16];
  std::memset(buf, 0xAA, sizeof buf);
  ULONG size = sizeof buf;
  EXPECT_EQ(SAR_OK, SKF_EnumDev(TRUE, buf, &size));
  EXPECT_EQ(0u, size);
  for (char c : buf) EXPECT_EQ(static_cast<char>(0xAA), c);

  size = 99;
  EXPECT_EQ(SAR_OK, SKF_EnumDev(TRUE, nullptr, &size));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_EnumDev(TRUE, buf, nullptr));
}

TEST_F(SkfDeviceTest, TwoTokensAreListedBySerialWithTheSizeProtocol) {
  plug("A1");
  plug("B2");

  // Size query: an upper bound (33 bytes per token and the final NUL).
  ULONG size = 0;
  ASSERT_EQ(SAR_OK, SKF_EnumDev(TRUE, nullptr, &size));
  EXPECT_EQ(2u * 33 + 1, size);

  char buf[16];
  std::memset(buf, 0x55, sizeof buf);
  size = 6;
  EXPECT_EQ(SAR_BUFFER_TOO_SMALL, SKF_EnumDev(TRUE, buf, &size));
  EXPECT_EQ(7u, size);
  EXPECT_EQ(0x55, static_cast<unsigned char>(buf[0]));  // nothing copied

  size = 7;
  ASSERT_EQ(SAR_OK, SKF_EnumDev(TRUE, buf, &size));
  EXPECT_EQ(7u, size);
  EXPECT_EQ("A1\0B2\0\0"s, std::string(buf, size));
  EXPECT_EQ(0x55, static_cast<unsigned char>(buf[7]));  // nothing past the list
}

TEST_F(SkfDeviceTest, SizeQueryCoversTokensWithFullLengthSerials) {
  const std::string s1(32, 'S'), s2(32, 'T');
  plug(s1);
  plug(s2);
  ULONG bound = 0;
  ASSERT_EQ(SAR_OK, SKF_EnumDev(TRUE, nullptr, &bound));
  std::string buf(bound, '\x7f');
  ULONG size = bound;
  ASSERT_EQ(SAR_OK, SKF_EnumDev(TRUE, &buf[0], &size));
  EXPECT_EQ(s1 + '\0' + s2 + '\0' + '\0', buf.substr(0, size));
}

TEST_F(SkfDeviceTest, OemFilterListsMatchingAndUnmarkedTokensAndDropsOthers) {
  std::vector<uint8_t> zero(1, 0);
  plug("XYZ-TOKEN", bytes_of("XYZ"));
  plug("OTHER", bytes_of("OTHER"));
  plug("EMPTY", zero);  // OEM data all zero: no OEM information
  plug("UNSET");        // never written: 0xFF
  plug("PREFIX", bytes_of("XYZW"));
  std::strcpy(g_szOEMID, "ACME,XYZ");

  EXPECT_EQ("XYZ-TOKEN\0EMPTY\0UNSET\0\0"s, enum_list());
  // The refused tokens are gone from the command layer's list.
  EXPECT_EQ(3, transport_devices());
  EXPECT_EQ(nullptr, app_get_dev_by_name("OTHER"));

  // Connecting a refused token by name lists first, and still refuses it.
  DEVHANDLE h = nullptr;
  EXPECT_EQ(SAR_DEVICE_REMOVED, SKF_ConnectDev(const_cast<char*>("OTHER"), &h));

  std::strcpy(g_szOEMID, "*");
  EXPECT_EQ("XYZ-TOKEN\0EMPTY\0UNSET\0OTHER\0PREFIX\0\0"s, enum_list());
}

TEST(SkfOemFilter, EntriesAreExactBoundedAndUnterminatedDataIsSafe) {
  const std::string full(128, 'A');  // fills the whole field, no terminator
  struct row {
    std::string oem;
    std::string filter;
    bool accepted;
  };
  const row rows[] = {
      {"XYZ", "ACME,XYZ", true},
      {"ACME", "ACME,XYZ", true},
      {"XY", "ACME,XYZ", false},
      {"xyz", "ACME,XYZ", false},
      {"ACME,XYZ", "ACME,XYZ", false},  // the whole filter is no entry
      {"XYZ", ",,XYZ,,", true},         // empty entries vanish
      {"XYZ", "", false},
      {"XYZ", ",", false},
      {"E5", "E1,E2,E3,E4,E5", true},
      {"E6", "E1,E2,E3,E4,E5,E6", false},  // only five entries count
      {std::string(31, 'L'), std::string(31, 'L') + ",X", true},
      {std::string(32, 'L'), std::string(32, 'L') + ",X", false},  // entries hold 31
      {full, "*", true},
      {full, std::string(31, 'A'), false},
      {std::string("\xFF" "ABC", 4), "ACME", true},  // 0xFF: no OEM information
      {std::string(1, '\0'), "ACME", true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.oem.substr(0, 40) + " / " + r.filter);
    std::vector<unsigned char> oem(128, 0);
    std::memcpy(oem.data(), r.oem.data(), std::min<size_t>(r.oem.size(), 128));
    EXPECT_EQ(r.accepted, rx::skf::oem_accepted(oem.data(), oem.size(), r.filter.c_str()));
  }
}

TEST(SkfNameList, EveryAppendIsBoundedAndTheFinalNulAlwaysFits) {
  rx::skf::name_list l(8);
  EXPECT_TRUE(l.append("abc"));     // 4 bytes
  EXPECT_FALSE(l.append("defg"));   // would need 5 + the final NUL
  EXPECT_TRUE(l.append("de"));      // 3 bytes: 7 used
  EXPECT_FALSE(l.append("f"));      // 2 more would leave no room for the final NUL
  EXPECT_FALSE(l.append(""));       // an empty name would end the list
  l.terminate();
  EXPECT_EQ(8u, l.length());
  EXPECT_EQ("abc\0de\0\0"s, std::string(l.data(), l.length()));
}

TEST_F(SkfDeviceTest, ConnectByANameNeverListedAndByAnAbsentName) {
  plug("A1");
  DEVHANDLE h = nullptr;
  ASSERT_EQ(SAR_OK, SKF_ConnectDev(const_cast<char*>("A1"), &h));
  EXPECT_NE(nullptr, h);

  DEVHANDLE absent = reinterpret_cast<DEVHANDLE>(0x1);
  EXPECT_EQ(SAR_DEVICE_REMOVED, SKF_ConnectDev(const_cast<char*>("NOPE"), &absent));
  EXPECT_EQ(reinterpret_cast<DEVHANDLE>(0x1), absent);
  EXPECT_EQ(1, gm_sc_mgr::get_dev_ptr()->count());  // nothing left behind

  struct row {
    const char* name;
    bool with_out;
  };
  const std::string too_long(264, 'N');
  const row bad[] = {{"", true}, {nullptr, true}, {"A1", false}, {too_long.c_str(), true}};
  for (const row& r : bad) {
    DEVHANDLE out = nullptr;
    EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_ConnectDev(const_cast<char*>(r.name), r.with_out ? &out : nullptr));
  }
}

TEST_F(SkfDeviceTest, NoTokenAtAllGivesDeviceRemoved) {
  DEVHANDLE h = nullptr;
  EXPECT_EQ(SAR_DEVICE_REMOVED, SKF_ConnectDev(const_cast<char*>("A1"), &h));
  EXPECT_EQ(0, gm_sc_mgr::get_dev_ptr()->count());
}

TEST_F(SkfDeviceTest, TwoConnectsToOneNameGiveIndependentHandles) {
  plug("A1");
  enum_list();
  DEVHANDLE h1 = connect("A1");
  DEVHANDLE h2 = connect("A1");
  ASSERT_NE(h1, h2);

  EXPECT_EQ(SAR_OK, SKF_DisConnectDev(h1));
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_DisConnectDev(h1));
  DEVINFO info;
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_GetDevInfo(h1, &info));
  ASSERT_EQ(SAR_OK, SKF_GetDevInfo(h2, &info));  // the transport stays open
  EXPECT_EQ("A1", std::string(info.SerialNumber, strnlen(info.SerialNumber, 32)));
  EXPECT_EQ(SAR_OK, SKF_DisConnectDev(h2));
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_DisConnectDev(nullptr));
}

TEST_F(SkfDeviceTest, DeviceStateAnswersFromTheKnownDevicesWithoutDiscovery) {
  plug("A1");
  ULONG state = 7;
  EXPECT_EQ(SAR_OK, SKF_GetDevState(const_cast<char*>("A1"), &state));
  EXPECT_EQ(0u, state);  // not listed yet: unknown name

  enum_list();
  EXPECT_EQ(SAR_OK, SKF_GetDevState(const_cast<char*>("A1"), &state));
  EXPECT_EQ(1u, state);
  EXPECT_EQ(SAR_OK, SKF_GetDevState(const_cast<char*>("B2"), &state));
  EXPECT_EQ(0u, state);
  EXPECT_EQ(SAR_OK, SKF_GetDevState(const_cast<char*>(""), &state));
  EXPECT_EQ(0u, state);

  bus().unplug("A1");  // still in the list, but it no longer answers
  state = 7;
  EXPECT_EQ(SAR_OK, SKF_GetDevState(const_cast<char*>("A1"), &state));
  EXPECT_EQ(0u, state);

  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_GetDevState(const_cast<char*>("A1"), nullptr));
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_GetDevState(nullptr, &state));
}

TEST_F(SkfDeviceTest, ConfigurationDefaults) {
  EXPECT_STREQ(
      "rx7100,vid_7e3b&pid_db08|vid_7e3b&pid_e618|vid_7e3b&pid_f603,vid_7e3b&pid_e618|vid_7e3b&pid_f603",
      g_szDeviceID);
  EXPECT_STREQ("*", g_szOEMID);
}

}  // namespace
