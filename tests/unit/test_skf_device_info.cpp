// Device information, label, the transmit length taken from the token,
// raw transmit and the lock functions, against virtual tokens.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "card_os.h"
#include "skf_device_test_env.h"
#include "token_api/gm_sc_mgr.h"

namespace {

std::string text(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

// Answers the device information commands with `len` bytes of data and 9000.
void answer_devinfo_with(vtok::token& t, size_t len) {
  t.os().register_handler(0x80, 0x04, [len](vtok::card_os&, const vtok::command&) {
    vtok::response r;
    r.data.assign(len, 0x41);
    return r;
  });
}

TEST_F(SkfDeviceTest, DeviceInformationIsConvertedFromTheTokensRecord) {
  plug("A1");
  DEVHANDLE h = connect("A1");
  DEVINFO info;
  std::memset(&info, 0xEE, sizeof info);
  ASSERT_EQ(SAR_OK, SKF_GetDevInfo(h, &info));
  EXPECT_EQ(1, info.Version.major);
  EXPECT_EQ(0, info.Version.minor);
  EXPECT_EQ("RX7100", text(info.Manufacturer, 64));
  EXPECT_EQ("RX7100", text(info.Issuer, 64));
  EXPECT_EQ("RX7100 virtual token", text(info.Label, 32));
  EXPECT_EQ("A1", text(info.SerialNumber, 32));
  EXPECT_EQ(2, info.HWVersion.major);
  EXPECT_EQ(1, info.FirmwareVersion.major);
  EXPECT_EQ(0x0000051Fu, ULONG{info.AlgSymCap});
  EXPECT_EQ(0x00030700u, ULONG{info.AlgAsymCap});
  EXPECT_EQ(0x00000007u, ULONG{info.AlgHashCap});  // no fingerprint sensor
  EXPECT_EQ(0x00000401u, ULONG{info.DevAuthAlgId});
  EXPECT_EQ(131072u, ULONG{info.TotalSpace});
  EXPECT_EQ(131072u, ULONG{info.FreeSpace});
  EXPECT_EQ(1056u - 32, ULONG{info.MaxBufferSize});
  EXPECT_EQ(1056u - 101, ULONG{info.MaxECCBufferSize});
  for (BYTE b : info.Reserved) EXPECT_EQ(0, b);

  ULONG caps = 0, feature = 0;
  DEVINFO info2;
  ASSERT_EQ(SAR_OK, VKF_GetDeviceCaps(h, &info2, &caps, &feature));
  EXPECT_EQ(0, std::memcmp(&info, &info2, sizeof info));
  EXPECT_EQ(2u, caps);
  EXPECT_EQ(1u, feature);
  EXPECT_EQ(SAR_OK, VKF_GetDeviceCaps(h, &info2, nullptr, nullptr));

  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_GetDevInfo(h, nullptr));
  EXPECT_EQ(SAR_INVALIDPARAMERR, VKF_GetDeviceCaps(h, nullptr, &caps, &feature));
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_GetDevInfo(reinterpret_cast<DEVHANDLE>(0x7777), &info));
}

TEST_F(SkfDeviceTest, FingerprintTokensReportTheExtraHashBitsOnlyInTheStandardRecord) {
  vtok::token_config c;
  c.serial = "FP";
  c.feature = 3;
  bus().plug(c);
  DEVHANDLE h = connect("FP");
  DEVINFO info;
  ASSERT_EQ(SAR_OK, SKF_GetDevInfo(h, &info));
  EXPECT_EQ(0x80080007u, ULONG{info.AlgHashCap});
  ULONG caps = 0, feature = 0;
  ASSERT_EQ(SAR_OK, VKF_GetDeviceCaps(h, &info, &caps, &feature));
  EXPECT_EQ(0x00000007u, ULONG{info.AlgHashCap});
  EXPECT_EQ(3u, feature);
}

TEST_F(SkfDeviceTest, TransmitLengthComesFromTheTokenOnlyWithinWhatAFrameCarries) {
  struct row {
    uint16_t max_command_data;  // L
    int transmit_len;
    ULONG max_buffer, max_ecc_buffer;  // as reported in DEVINFO
  };
  const row rows[] = {
      {1056, 1024, 1024, 955},
      {544, 512, 512, 443},
      {48, 16, 16, 0},  // the smallest accepted
      {47, 1024, 15, 0},
      {33, 1024, 1, 0},
      {20, 1024, 0, 0},  // below the overhead: no wrap-around
      {0, 1024, 0, 0},
      {1057, 1024, 1025, 956},
      {5000, 1024, 4968, 4899},
  };
  int n = 0;
  for (const row& r : rows) {
    SCOPED_TRACE(r.max_command_data);
    const std::string serial = "L" + std::to_string(n++);
    vtok::token& t = plug(serial);
    t.os().persistent().max_command_data = r.max_command_data;
    set_max_transmit_len(777);
    DEVHANDLE h = connect(serial.c_str());
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(r.transmit_len, get_max_transmit_len());
    EXPECT_EQ(static_cast<uint32_t>(r.transmit_len),
              gm_sc_mgr::get_dev_ptr()->get_dev_by_handle(h)->get_max_transmit_len());
    DEVINFO info;
    ASSERT_EQ(SAR_OK, SKF_GetDevInfo(h, &info));
    EXPECT_EQ(r.max_buffer, ULONG{info.MaxBufferSize});
    EXPECT_EQ(r.max_ecc_buffer, ULONG{info.MaxECCBufferSize});
  }
}

TEST_F(SkfDeviceTest, AnswerThatDoesNotFitIsAFailureEvenWithStatus9000) {
  vtok::token& t = plug("A1");
  DEVHANDLE h = connect("A1");
  answer_devinfo_with(t, 300);  // longer than the 288-byte record
  DEVINFO info;
  std::memset(&info, 0xEE, sizeof info);
  EXPECT_EQ(SAR_FAIL, SKF_GetDevInfo(h, &info));
  EXPECT_EQ(0xEE, static_cast<unsigned char>(info.Manufacturer[0]));
  EXPECT_EQ(SAR_FAIL, VKF_GetDeviceCaps(h, &info, nullptr, nullptr));
  char label[32], serial[32];
  EXPECT_EQ(SAR_FAIL, VKF_GetDevInfo(h, label, serial));  // the short record, too

  // The same answer while connecting: no device object is made.
  gm_sc_mgr::get_dev_ptr()->clear();
  DEVHANDLE h2 = nullptr;
  EXPECT_EQ(SAR_FAIL, SKF_ConnectDev(const_cast<char*>("A1"), &h2));
  EXPECT_EQ(0, gm_sc_mgr::get_dev_ptr()->count());

  // A status word is mapped.
  t.os().register_handler(0x80, 0x04, [](vtok::card_os&, const vtok::command&) {
    return vtok::response::status(0x6A80);
  });
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_ConnectDev(const_cast<char*>("A1"), &h2));
}

TEST_F(SkfDeviceTest, ShortInformationTextsAreBoundedTo32Bytes) {
  vtok::token_config c;
  c.serial = std::string(32, 'S');
  c.label = std::string(32, 'L');
  bus().plug(c);
  DEVHANDLE h = connect(c.serial.c_str());
  char label[40], serial[40];
  std::memset(label, '#', sizeof label);
  std::memset(serial, '#', sizeof serial);
  ASSERT_EQ(SAR_OK, VKF_GetDevInfo(h, label, serial));
  EXPECT_EQ(std::string(32, 'L') + "#", std::string(label, 33));  // not terminated, no byte more
  EXPECT_EQ(std::string(32, 'S') + "#", std::string(serial, 33));

  ASSERT_EQ(SAR_OK, SKF_SetLabel(h, const_cast<char*>("short")));
  ASSERT_EQ(SAR_OK, VKF_GetDevInfo(h, label, serial));
  EXPECT_STREQ("short", label);
  EXPECT_EQ(SAR_INVALIDPARAMERR, VKF_GetDevInfo(h, nullptr, serial));
}

TEST_F(SkfDeviceTest, LabelsUpTo31CharactersAreWritten) {
  plug("A1");
  DEVHANDLE h = connect("A1");
  const std::string l31(31, 'x'), l32(32, 'y');
  struct row {
    const char* label;
    ULONG rv;
  };
  const row rows[] = {{l31.c_str(), SAR_OK}, {l32.c_str(), SAR_INVALIDPARAMERR}, {"", SAR_INVALIDPARAMERR},
                      {nullptr, SAR_INVALIDPARAMERR}};
  for (const row& r : rows) EXPECT_EQ(r.rv, SKF_SetLabel(h, const_cast<char*>(r.label)));
  DEVINFO info;
  ASSERT_EQ(SAR_OK, SKF_GetDevInfo(h, &info));
  EXPECT_EQ(l31, text(info.Label, 32));
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_SetLabel(reinterpret_cast<DEVHANDLE>(0x7777), const_cast<char*>("a")));
}

TEST_F(SkfDeviceTest, TransmitAppliesTheSizeProtocol) {
  plug("A1");
  DEVHANDLE h = connect("A1");
  BYTE random8[] = {0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08};

  ULONG len = 0;
  EXPECT_EQ(SAR_OK, SKF_Transmit(h, random8, sizeof random8, nullptr, &len));
  EXPECT_EQ(10u, len);

  BYTE small[4];
  std::memset(small, 0xCC, sizeof small);
  len = sizeof small;
  EXPECT_EQ(SAR_BUFFER_TOO_SMALL, SKF_Transmit(h, random8, sizeof random8, small, &len));
  EXPECT_EQ(10u, len);
  for (BYTE b : small) EXPECT_EQ(0xCC, b);

  BYTE resp[64];
  len = sizeof resp;
  ASSERT_EQ(SAR_OK, SKF_Transmit(h, random8, sizeof random8, resp, &len));
  ASSERT_EQ(10u, len);
  EXPECT_EQ(0x90, resp[8]);
  EXPECT_EQ(0x00, resp[9]);

  // The token's status word is not interpreted.
  BYTE unknown[] = {0x80, 0xEE, 0x00, 0x00};
  len = sizeof resp;
  ASSERT_EQ(SAR_OK, SKF_Transmit(h, unknown, sizeof unknown, resp, &len));
  ASSERT_EQ(2u, len);
  EXPECT_EQ(0x6D, resp[0]);

  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_Transmit(h, nullptr, 4, resp, &len));
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_Transmit(h, random8, 0, resp, &len));
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_Transmit(h, random8, sizeof random8, resp, nullptr));
  EXPECT_EQ(SAR_INVALIDPARAMERR, SKF_Transmit(reinterpret_cast<DEVHANDLE>(0x7777), random8, 7, resp, &len));

  bus().unplug("A1");
  len = sizeof resp;
  EXPECT_EQ(0x00008003u, SKF_Transmit(h, random8, sizeof random8, resp, &len));
  EXPECT_EQ(0x8003u, SKF_GetLastDevError(h));
}

TEST_F(SkfDeviceTest, LockFunctionsIgnoreUnknownHandles) {
  plug("A1");
  DEVHANDLE h = connect("A1");
  const DEVHANDLE unknown = reinterpret_cast<DEVHANDLE>(0x7777);
  for (DEVHANDLE d : {h, unknown, static_cast<DEVHANDLE>(nullptr)}) {
    EXPECT_EQ(SAR_OK, SKF_LockDev(d, 1000));
    EXPECT_EQ(SAR_OK, SKF_UnlockDev(d));
    EXPECT_EQ(SAR_OK, SKF_BeginTransaction(d));
    EXPECT_EQ(SAR_OK, SKF_EndTransaction(d));
  }
}

}  // namespace
