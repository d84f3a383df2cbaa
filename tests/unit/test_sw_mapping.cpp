// Status words and command results into token API result codes, checked as
// tables and through a real exchange with the virtual token.
#include <gtest/gtest.h>

#include <memory>

#include "apdu/app_session_key.h"
#include "card_os.h"
#include "rx7100_app.h"
#include "skf.h"
#include "token_api/gm_sc_mgr.h"
#include "token_api/sar_map.h"
#include "transport/device_discover.h"
#include "transport/transport_reset.h"
#include "vtok_fixture.h"

namespace {

using rx::skf::app_result_to_sar;
using rx::skf::sw_to_sar;

TEST(StatusWordTable, EveryEntryAndUnmappedWordsPassThrough) {
  struct row {
    unsigned sw;
    ULONG rv;
  };
  const row rows[] = {
      {0x9000, SAR_OK},
      {0x6581, SAR_UNKNOWNERR}, {0x6A86, SAR_UNKNOWNERR}, {0x6E00, SAR_UNKNOWNERR},
      {0x6700, SAR_INDATALENERR},
      {0x6982, SAR_USER_NOT_LOGGED_IN},
      {0x6983, SAR_PIN_LOCKED},
      {0x6984, SAR_INDATAERR},
      {0x6A80, SAR_INVALIDPARAMERR},
      {0x6A84, SAR_NO_ROOM},
      {0x6A88, SAR_APPLICATION_NOT_EXISTS}, {0x6A8B, SAR_APPLICATION_NOT_EXISTS},
      {0x6A89, SAR_APPLICATION_EXISTS},
      {0x6A8C, SAR_KEYNOTFOUNTERR}, {0x6A95, SAR_KEYNOTFOUNTERR},
      {0x6A91, SAR_COS_6A91}, {0x6A94, SAR_COS_6A91},
      {0x6A92, SAR_FILE_ALREADY_EXIST},
      {0x6A93, SAR_FILE_NOT_EXIST},
      {0x6A96, SAR_CERTNOTFOUNTERR},
      {0x6A98, SAR_HASHNOTEQUALERR},
      {0x6A9A, SAR_COS_6A9A},
      {0x6B00, SAR_INCORRECT_P1P2},
      {0x6E01, SAR_BUFFER_TOO_SMALL},
      {0x6E02, SAR_COS_6E02},
      {0x6F01, SAR_FINGER_CONTINUE}, {0x6F0D, SAR_FINGER_CONTINUE},
      {0x6F02, SAR_FINGER_WAITING}, {0x6F0C, SAR_FINGER_WAITING},
      {0x6F09, SAR_FINGER_EXISTS},
      {0x6F0A, SAR_FINGER_NONE},
      {0x6F0B, SAR_FINGER_6F0B},
      // Without an entry: the status word itself.
      {0x6A8D, 0x6A8Du}, {0x6D00, 0x6D00u}, {0x63C3, 0x63C3u}, {0x8003, 0x8003u},
  };
  for (const row& r : rows) EXPECT_EQ(r.rv, sw_to_sar(r.sw)) << std::hex << r.sw;
}

TEST(StatusWordTable, VendorCodesHaveTheirValues) {
  EXPECT_EQ(0x0B000033u, SAR_USER_NOT_VERIFIED);
  EXPECT_EQ(0x0B000038u, SAR_COS_6A9A);
  EXPECT_EQ(0x0B000040u, SAR_FINGER_WAITING);
  EXPECT_EQ(0x0C000003u, SAR_FINGER_6F0B);
  EXPECT_EQ(0x0A000022u, SAR_NOT_EVENTERR);
  EXPECT_EQ(4u, sizeof(ULONG));
  EXPECT_EQ(sizeof(void*), sizeof(HANDLE));
}

TEST(CommandResult, FailureIsNeverReportedAsSuccess) {
  struct row {
    int result;
    unsigned sw;
    ULONG rv;
  };
  const row rows[] = {
      {0, 0x9000, SAR_OK},
      {3, 0x9000, SAR_FAIL},  // the answer did not fit: not a success
      {1, 0x8003, 0x8003u},   // exchange failed: the pseudo status word
      {1, 0x8005, 0x8005u},
      {1, 0x9000, SAR_FAIL},
      {2, 0x6982, SAR_USER_NOT_LOGGED_IN},
      {2, 0x6A8D, 0x6A8Du},
      {2, 0x0000, SAR_FAIL},
      {-1, 0x9000, SAR_FAIL},
  };
  for (const row& r : rows)
    EXPECT_EQ(r.rv, app_result_to_sar(r.result, r.sw)) << r.result << " " << std::hex << r.sw;
}

TEST(Version, IsTheReleaseText) { EXPECT_STREQ("Version:20200522", get_version()); }

// The last status word of a real exchange.
class LastStatusWord : public vtok_fixture {
 protected:
  void SetUp() override {
    vtok_fixture::SetUp();
    rx::transport::reset_state();
    token().os().register_handler(0x80, 0xC4, [this](vtok::card_os&, const vtok::command&) {
      return vtok::response::status(answer_);
    });
    ASSERT_EQ(1, app_enum_device(kRxDefaultDeviceCriteria));
    ASSERT_NE(nullptr, app_get_first_dev(&h_, RX_DEV_STATE_INITIAL));
    ASSERT_EQ(0, app_connect_device(h_));
  }
  void TearDown() override {
    rx::transport::reset_state();
    vtok_fixture::TearDown();
  }
  void* h_ = nullptr;
  uint16_t answer_ = 0x9000;
};

TEST_F(LastStatusWord, MapsWhatTheTokenAnswered) {
  struct row {
    uint16_t sw;
    int result;
    ULONG rv;
  };
  for (const row& r : {row{0x6A8D, 2, 0x6A8Du}, row{0x6A95, 2, SAR_KEYNOTFOUNTERR}, row{0x9000, 0, SAR_OK}}) {
    answer_ = r.sw;
    const int result = app_destroy_session_key(h_, 1, 2, 3);
    EXPECT_EQ(r.result, result);
    EXPECT_EQ(r.sw, get_last_sw());
    EXPECT_EQ(r.rv, get_last_sw_err());
    EXPECT_EQ(r.rv, app_result_to_sar(result));
    EXPECT_EQ(static_cast<ULONG>(r.sw), SKF_GetLastDevError(reinterpret_cast<DEVHANDLE>(0x1234)));
  }
}

TEST_F(LastStatusWord, OutOfRangeIdentifiersAreRefusedBeforeSending) {
  token().clear_record();
  for (int bad : {-1, 0x10000}) {
    EXPECT_EQ(1, app_destroy_session_key(h_, bad, 0, 0));
    EXPECT_EQ(1, app_destroy_session_key(h_, 0, bad, 0));
    EXPECT_EQ(1, app_destroy_session_key(h_, 0, 0, bad));
  }
  EXPECT_EQ(0x8001, get_last_sw());
  EXPECT_TRUE(token().record().empty());
  EXPECT_EQ(0, app_destroy_session_key(h_, 0xFFFF, 0xFFFF, 0));  // "all keys"
}

}  // namespace
