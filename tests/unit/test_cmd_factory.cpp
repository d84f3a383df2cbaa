// Factory and maintenance commands against the virtual token: the exact
// APDUs it received, the result convention and the output bounds.
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
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i * 5);
  return b;
}

const bytes kMagic = {'y', 'F', 'R', 'P', 'E', 'l', 'c', 'e'};

class cmd_factory : public cmdtest::cmd_fixture {};

TEST_F(cmd_factory, FormatSendsMagicRecordExtraAndTwoBytes) {
  const bytes devinfo = seq(RX_FORMAT_DEVINFO_LEN, 1);
  const bytes extra = seq(RX_FORMAT_EXTRA_LEN, 0x80);
  answer(0xC0, 0x00, {});
  for (int p1 : {0x00, 0x01, 0xA5}) {
    SCOPED_TRACE(p1);
    token().clear_record();
    EXPECT_EQ(app_dev_format(h_, devinfo.data(), extra.data(), p1, 0x12, 0x34), RX_APP_OK);
    bytes data = kMagic;
    data.insert(data.end(), devinfo.begin(), devinfo.end());
    data.insert(data.end(), extra.begin(), extra.end());
    data.push_back(0x12);
    data.push_back(0x34);
    ASSERT_EQ(data.size(), 330u);
    const bytes sent = only_apdu();
    EXPECT_EQ(sent, apdu_bytes({0xC0, 0x00, static_cast<uint8_t>(p1), 0x00}, data));
    ASSERT_GE(sent.size(), 7u);
    EXPECT_EQ((sent[5] << 8) | sent[6], 330) << "Lc";
  }
  const struct {
    const char* name;
    const unsigned char* devinfo;
    const unsigned char* extra;
    int p1;
  } bad[] = {{"no record", nullptr, extra.data(), 0},
             {"no extra", devinfo.data(), nullptr, 0},
             {"p1 256", devinfo.data(), extra.data(), 256}};
  token().clear_record();
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    EXPECT_EQ(app_dev_format(h_, b.devinfo, b.extra, b.p1, 0, 0), RX_APP_EXCHANGE_FAILED);
    EXPECT_EQ(get_last_sw(), RX_SW_ENCODE_FAILED);
  }
  EXPECT_TRUE(cmdtest::apdus_seen(token()).empty());
}

// Every factory command: its call, the bytes on the wire and an answer that
// satisfies it.
struct factory_case {
  const char* name;
  uint8_t ins;
  std::function<int(void*)> call;
  bytes expected;
  bytes answer;
};

const bytes kOem = seq(5, 0x30);
const bytes kLock = {0xDE, 0xAD, 0xBE, 0xEF};

std::vector<factory_case> factory_cases() {
  return {
      {"GetFSMaxCap", 0x02,
       [](void* h) {
         unsigned int cap = 0;
         return app_dev_get_max_fscaps(h, &cap);
       },
       apdu_bytes({0xC0, 0x02, 0x00, 0x00}, {}, 4), {0, 1, 0, 0}},
      {"GetRawHWSN", 0x04,
       [](void* h) {
         unsigned char b[32];
         int n = sizeof(b);
         return app_dev_get_raw_hwsn(h, b, &n);
       },
       apdu_bytes({0xC0, 0x04, 0x00, 0x00}, {}, 0), seq(12, 1)},
      {"BackToBootloader", 0x06, [](void* h) { return app_dev_erase_firmware(h); },
       apdu_bytes({0xC0, 0x06, 0x00, 0x00}, kMagic), {}},
      {"GetDevStatus", 0x08,
       [](void* h) {
         unsigned char s = 0;
         return app_dev_get_dev_status(h, &s);
       },
       apdu_bytes({0xC0, 0x08, 0x00, 0x00}, {}, 0), {0x01}},
      {"ReadOemInfo", 0x0A,
       [](void* h) {
         unsigned char b[128];
         int n = sizeof(b);
         return app_read_oem_info(h, 0x0102, b, &n);
       },
       apdu_bytes({0xC0, 0x0A, 0x01, 0x02}, {}, 128), seq(128, 7)},
      {"WriteOemInfo", 0x0C,
       [](void* h) {
         bytes b = kOem;
         return app_write_oem_info(h, 0xFF10, b.data(), static_cast<int>(b.size()));
       },
       apdu_bytes({0xC0, 0x0C, 0xFF, 0x10}, kOem), {}},
      {"LockCos", 0x0E, [](void* h) { return app_dev_lock_cos(h, kLock.data(), 4); },
       apdu_bytes({0xC0, 0x0E, 0x00, 0x00}, kLock), {}},
  };
}

TEST_F(cmd_factory, EachCommandSendsItsExactApdu) {
  for (const auto& c : factory_cases()) {
    SCOPED_TRACE(c.name);
    token().clear_record();
    answer(0xC0, c.ins, c.answer);
    EXPECT_EQ(c.call(h_), RX_APP_OK);
    EXPECT_EQ(get_last_sw(), 0x9000);
    EXPECT_EQ(only_apdu(), c.expected);
  }
}

TEST_F(cmd_factory, RejectedStatusAndTransportFailure) {
  for (const auto& c : factory_cases()) {
    SCOPED_TRACE(c.name);
    answer(0xC0, c.ins, c.answer, 0x6985);
    EXPECT_EQ(c.call(h_), RX_APP_STATUS_REJECTED);
    EXPECT_EQ(get_last_sw(), 0x6985);
  }
  unplug();
  for (const auto& c : factory_cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(h_), RX_APP_EXCHANGE_FAILED);
    EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
  }
}

TEST_F(cmd_factory, FileSystemCapacityNeedsFourBytes) {
  const struct {
    bytes answer;
    int result;
    unsigned int capacity;
  } cases[] = {
      {{0x00, 0x01, 0x02, 0x03}, RX_APP_OK, 0x00010203u},
      {{0xFF, 0xFE, 0xFD, 0xFC}, RX_APP_OK, 0xFFFEFDFCu},
      {{0x00, 0x01, 0x02}, RX_APP_BUFFER_TOO_SMALL, 0xAAAAAAAAu},
      {{}, RX_APP_BUFFER_TOO_SMALL, 0xAAAAAAAAu},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.size());
    answer(0xC0, 0x02, c.answer);
    unsigned int cap = 0xAAAAAAAAu;
    EXPECT_EQ(app_dev_get_max_fscaps(h_, &cap), c.result);
    EXPECT_EQ(get_last_sw(), 0x9000);
    EXPECT_EQ(cap, c.capacity);
  }
}

TEST_F(cmd_factory, DeviceStatusNeedsOneByte) {
  answer(0xC0, 0x08, {0x5C, 0x01});
  unsigned char s = 0;
  EXPECT_EQ(app_dev_get_dev_status(h_, &s), RX_APP_OK);
  EXPECT_EQ(s, 0x5C);
  answer(0xC0, 0x08, {});
  s = 0x77;
  EXPECT_EQ(app_dev_get_dev_status(h_, &s), RX_APP_BUFFER_TOO_SMALL);
  EXPECT_EQ(s, 0x77);
}

// In-out lengths of ReadOemInfo and GetRawHWSN: capacity in, copied length
// (or, when too small, the needed length) out; nothing written past the
// capacity.
TEST_F(cmd_factory, InOutLengthsAreBoundedByTheCapacity) {
  const struct {
    const char* name;
    uint8_t ins;
    int (*call)(void*, unsigned char*, int*);
    size_t answered;
    int cap;
    int result;
    int len_after;
    int le_sent;  // 0: not checked
  } cases[] = {
      {"oem exact", 0x0A,
       [](void* h, unsigned char* b, int* n) { return app_read_oem_info(h, 0, b, n); }, 128, 128,
       RX_APP_OK, 128, 128},
      {"oem shorter answer", 0x0A,
       [](void* h, unsigned char* b, int* n) { return app_read_oem_info(h, 0, b, n); }, 100, 128,
       RX_APP_OK, 100, 128},
      {"oem longer answer", 0x0A,
       [](void* h, unsigned char* b, int* n) { return app_read_oem_info(h, 0, b, n); }, 129, 128,
       RX_APP_BUFFER_TOO_SMALL, 129, 128},
      {"hwsn fits", 0x04, app_dev_get_raw_hwsn, 16, 32, RX_APP_OK, 16, 0},
      {"hwsn too long", 0x04, app_dev_get_raw_hwsn, 16, 15, RX_APP_BUFFER_TOO_SMALL, 16, 0},
      {"hwsn capacity 0", 0x04, app_dev_get_raw_hwsn, 16, 0, RX_APP_BUFFER_TOO_SMALL, 16, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bytes data = seq(c.answered, 0x41);
    answer(0xC0, c.ins, data);
    bytes buf(c.cap + 64, 0xEE);
    int len = c.cap;
    EXPECT_EQ(c.call(h_, buf.data(), &len), c.result);
    EXPECT_EQ(len, c.len_after);
    EXPECT_TRUE(seen_.has_le);
    if (c.le_sent > 0) {
      EXPECT_EQ(static_cast<int>(seen_.le), c.le_sent);
    }
    if (c.result == RX_APP_OK) {
      EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
      EXPECT_EQ(buf[c.len_after], 0xEE);
    } else {
      EXPECT_EQ(buf, bytes(c.cap + 64, 0xEE));
    }
  }
}

TEST_F(cmd_factory, ReadOemInfoRefusesLengthsThatCannotBeAsked) {
  unsigned char b[4];
  for (int len : {0, -1, 65536}) {
    SCOPED_TRACE(len);
    int n = len;
    EXPECT_EQ(app_read_oem_info(h_, 0, b, &n), RX_APP_EXCHANGE_FAILED);
    EXPECT_EQ(get_last_sw(), RX_SW_ENCODE_FAILED);
  }
  int n = 4;
  EXPECT_EQ(app_read_oem_info(h_, 0x10000, b, &n), RX_APP_EXCHANGE_FAILED);
  EXPECT_EQ(app_read_oem_info(h_, 0, nullptr, &n), RX_APP_EXCHANGE_FAILED);
  EXPECT_EQ(app_read_oem_info(h_, 0, b, nullptr), RX_APP_EXCHANGE_FAILED);
  EXPECT_TRUE(cmdtest::apdus_seen(token()).empty());
}

TEST_F(cmd_factory, WriteOemInfoLeavesTheCallersBufferAlone) {
  // The data written is the caller's input: whatever the token answers with
  // is discarded, never copied over it.
  const bytes written = seq(8, 0x10);
  const struct {
    const char* name;
    bytes response;
  } cases[] = {
      {"no response data", {}},
      {"shorter response", {0xA1, 0xA2, 0xA3}},
      {"same length", seq(8, 0xC0)},
      {"longer than the buffer", seq(9, 0xC0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    answer(0xC0, 0x0C, c.response);
    token().clear_record();
    bytes buf = written;
    buf.push_back(0xEE);  // past the length given
    EXPECT_EQ(app_write_oem_info(h_, 0x20, buf.data(), 8), RX_APP_OK);
    EXPECT_EQ(only_apdu(), apdu_bytes({0xC0, 0x0C, 0x00, 0x20}, written));
    EXPECT_EQ(bytes(buf.begin(), buf.begin() + 8), written);
    EXPECT_EQ(buf[8], 0xEE);
  }
}

}  // namespace
