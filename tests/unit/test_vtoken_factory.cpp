// Factory commands of the virtual token: Format (its checks and what it
// takes from the record), capacity, raw hardware serial, status, boot
// loader, the card OS lock and the OEM data.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "card_os.h"
#include "vtok_hid_host.h"

using namespace vtok;
using vtok_test::apdu1;
using vtok_test::apdu2e;
using vtok_test::apdu3e;
using vtok_test::sw_of;

namespace {

using bytes = std::vector<uint8_t>;

const std::string magic = "yFRPElce";

bytes body(const bytes& r) { return bytes(r.begin(), r.end() - 2); }

void put_text(bytes& v, size_t at, const std::string& s) { std::memcpy(&v[at], s.data(), s.size()); }

void put_be32(bytes& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (24 - 8 * i));
}

// A 288-byte record as a formatting host fills it: texts, total space
// big-endian at 216, and host-order (little-endian) words elsewhere.
bytes format_record(const std::string& label, const std::string& serial, uint32_t total) {
  bytes r(288, 0);
  r[0] = r[2] = 1;  // version 1.0, twice
  put_text(r, 4, "ACME Manufacturing");
  put_text(r, 68, "ACME Issuer");
  put_text(r, 132, label);
  put_text(r, 164, serial);
  r[196] = 9;       // a hardware version the token must not take
  put_be32(r, 216, total);
  r[224] = 0x00;    // MaxBufferSize 1024 in host order: 00 04
  r[225] = 0x04;
  r[226] = 1;       // feature 1, capability 2, host order
  r[228] = 2;
  return r;
}

bytes format_data(const bytes& record, const bytes& key32, uint8_t b1 = 8, uint8_t b2 = 0) {
  bytes d(magic.begin(), magic.end());
  d.insert(d.end(), record.begin(), record.end());
  d.insert(d.end(), key32.begin(), key32.end());
  d.push_back(b1);
  d.push_back(b2);
  return d;
}

bytes key_block(const bytes& key16) {
  bytes k = key16;
  k.resize(32, 0);
  return k;
}

bytes sm4_ecb(const bytes& key, const bytes& in) {
  std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> c(EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr),
                                                            EVP_CIPHER_free);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  bytes out(in.size());
  int n = 0, f = 0;
  EVP_EncryptInit_ex2(ctx.get(), c.get(), key.data(), nullptr, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EVP_EncryptUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &f);
  return out;
}

class factory : public ::testing::Test {
 protected:
  void SetUp() override { os.persistent().serial = "VTFACTORY0001"; }

  uint16_t run(const bytes& apdu) { return sw_of(os.process(apdu)); }
  bytes get(uint8_t ins, uint16_t le) {
    const bytes r = os.process(apdu2e(0xC0, ins, 0, 0, le));
    EXPECT_EQ(sw_of(r), 0x9000);
    return body(r);
  }
  uint16_t dev_auth_with(const bytes& key) {
    const bytes ch = body(os.process(apdu2e(0x80, 0x50, 0, 0, 8)));
    bytes block(16, 0);
    std::copy(ch.begin(), ch.end(), block.begin());
    return run(apdu3e(0x80, 0x10, 0, 0, sm4_ecb(key, block)));
  }

  card_os os;
};

TEST_F(factory, FormatChecksLengthMagicAndP2) {
  const bytes good = format_data(format_record("L", "S", 0), key_block(bytes(16, 1)));
  bytes bad_magic = good;
  bad_magic[7] = 'E';
  bytes short_by_one(good.begin(), good.end() - 1);
  bytes long_by_one = good;
  long_by_one.push_back(0);
  struct c {
    const char* what;
    bytes apdu;
    uint16_t sw;
  };
  const std::vector<c> cases = {
      {"329 bytes", apdu3e(0xC0, 0x00, 8, 0, short_by_one), 0x6700},
      {"331 bytes", apdu3e(0xC0, 0x00, 8, 0, long_by_one), 0x6700},
      {"no data", apdu1(0xC0, 0x00, 8, 0), 0x6700},
      {"magic", apdu3e(0xC0, 0x00, 8, 0, bad_magic), 0x6A80},
      {"P2", apdu3e(0xC0, 0x00, 8, 1, good), 0x6A86},
  };
  const std::string label_before = os.persistent().label;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(run(k.apdu), k.sw);
    EXPECT_EQ(os.persistent().label, label_before) << "refused format changed the token";
  }
  EXPECT_EQ(run(apdu3e(0xC0, 0x00, 8, 0, good)), 0x9000);
  EXPECT_EQ(os.persistent().label, "L");
}

TEST_F(factory, FormatTakesTextsSpaceAndKeyButNotTheTokensOwnProperties) {
  const persistent_state before = os.persistent();
  ASSERT_EQ(dev_auth_with(bytes(16, 0x11)), 0x63CE);  // a spent try, restored by the format
  const bytes new_key = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'};
  bytes key32 = key_block(new_key);
  key32[20] = 0xEE;  // the second half plays no part
  ASSERT_EQ(run(apdu3e(0xC0, 0x00, 10, 0,
                       format_data(format_record("Token label", "SN-0042", 0x1000), key32, 10, 7))),
            0x9000);

  const persistent_state& s = os.persistent();
  EXPECT_EQ(s.manufacturer, "ACME Manufacturing");
  EXPECT_EQ(s.issuer, "ACME Issuer");
  EXPECT_EQ(s.label, "Token label");
  EXPECT_EQ(s.device_serial_number(), "SN-0042");
  EXPECT_EQ(s.total_space, 0x1000u);
  EXPECT_EQ(s.free_space, 0x1000u);
  EXPECT_EQ(s.dev_auth_retries, 15);
  EXPECT_EQ(s.format_param, 10);
  EXPECT_EQ(s.format_byte1, 10);
  EXPECT_EQ(s.format_byte2, 7);
  EXPECT_EQ(s.device_status, 1);
  // Hardware properties stay the token's.
  EXPECT_EQ(s.hardware_version, before.hardware_version);
  EXPECT_EQ(s.max_command_data, 1056);
  EXPECT_EQ(s.feature_word, before.feature_word);
  EXPECT_EQ(s.capability_word, before.capability_word);
  EXPECT_EQ(s.alg_sym_cap, before.alg_sym_cap);
  EXPECT_EQ(s.oem_data, before.oem_data) << "format leaves the OEM data";

  // The record's key is the device authentication key from now on.
  EXPECT_EQ(dev_auth_with(bytes(before.dev_auth_key.begin(), before.dev_auth_key.end())), 0x63CE);
  EXPECT_EQ(dev_auth_with(new_key), 0x9000);
}

TEST_F(factory, FormatTotalSpaceIsBoundByTheCapacity) {
  const uint32_t cap = os.persistent().fs_capacity;
  struct c {
    uint32_t asked, kept;
  };
  for (const c& k : {c{0, cap}, c{cap + 1, cap}, c{0xFFFFFFFF, cap}, c{cap, cap}, c{1, 1}}) {
    SCOPED_TRACE(k.asked);
    ASSERT_EQ(run(apdu3e(0xC0, 0x00, 8, 0, format_data(format_record("L", "S", k.asked), bytes(32, 0)))),
              0x9000);
    EXPECT_EQ(os.persistent().total_space, k.kept);
  }
}

TEST_F(factory, FormatDropsAuthenticationAndKeepsTheSerialWhenNoneIsGiven) {
  ASSERT_EQ(dev_auth_with(bytes(os.persistent().dev_auth_key.begin(), os.persistent().dev_auth_key.end())),
            0x9000);
  ASSERT_TRUE(os.volatiles().device_authenticated);
  const std::string serial = os.persistent().device_serial_number();
  ASSERT_EQ(run(apdu3e(0xC0, 0x00, 8, 0, format_data(format_record("", "", 0), bytes(32, 0)))), 0x9000);
  EXPECT_FALSE(os.volatiles().device_authenticated);
  EXPECT_EQ(os.persistent().device_serial_number(), serial);
  EXPECT_EQ(os.persistent().label, "");
}

TEST_F(factory, SmallReadCommands) {
  EXPECT_EQ(get(0x02, 4), (bytes{0x00, 0x02, 0x00, 0x00}));  // 128 KiB, big-endian
  EXPECT_EQ(get(0x08, 1), (bytes{0x01}));
  const std::string serial = os.persistent().serial;
  EXPECT_EQ(get(0x04, 256), bytes(serial.begin(), serial.end()));
  os.persistent().raw_hwsn = {0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_EQ(get(0x04, 256), (bytes{0xDE, 0xAD, 0xBE, 0xEF}));

  struct c {
    const char* what;
    bytes apdu;
    uint16_t sw;
  };
  const std::vector<c> bad = {
      {"capacity Le 3", apdu2e(0xC0, 0x02, 0, 0, 3), 0x6700},
      {"capacity with data", apdu3e(0xC0, 0x02, 0, 0, {1}), 0x6700},
      {"capacity P1", apdu2e(0xC0, 0x02, 1, 0, 4), 0x6A86},
      {"status P2", apdu2e(0xC0, 0x08, 0, 1, 1), 0x6A86},
  };
  for (const auto& k : bad) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(run(k.apdu), k.sw);
  }
}

TEST_F(factory, BackToBootloaderWantsTheMagicZeroPadded) {
  bytes eight(magic.begin(), magic.end());
  bytes padded = eight;
  padded.resize(64, 0);
  bytes junk = padded;
  junk[40] = 1;
  bytes too_long = padded;
  too_long.push_back(0);
  struct c {
    const char* what;
    bytes data;
    uint16_t sw;
  };
  const std::vector<c> cases = {
      {"7 bytes", bytes(eight.begin(), eight.end() - 1), 0x6700},
      {"65 bytes", too_long, 0x6700},
      {"wrong magic", bytes{'y', 'F', 'R', 'P', 'E', 'l', 'c', 'x'}, 0x6A80},
      {"junk after the magic", junk, 0x6A80},
      {"8 bytes", eight, 0x9000},
      {"64 bytes", padded, 0x9000},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    os.volatiles().bootloader_requested = false;
    EXPECT_EQ(run(apdu3e(0xC0, 0x06, 0, 0, k.data)), k.sw);
    EXPECT_EQ(os.volatiles().bootloader_requested, k.sw == 0x9000);
  }
}

TEST_F(factory, LockedCardOsRefusesPersonalisation) {
  const bytes boot(magic.begin(), magic.end());
  ASSERT_EQ(run(apdu3e(0xC0, 0x0E, 0, 0, {0x01, 0x02})), 0x9000);
  EXPECT_TRUE(os.persistent().cos_locked);
  EXPECT_EQ(run(apdu3e(0xC0, 0x0E, 0, 0, {0x01})), 0x9000) << "locking twice is harmless";
  EXPECT_EQ(run(apdu3e(0x80, 0x02, 0x01, 0x00, {'N', 'E', 'W'})), 0x6985);
  EXPECT_EQ(run(apdu3e(0xC0, 0x0C, 0, 0, {0x41})), 0x6985);
  EXPECT_EQ(run(apdu3e(0xC0, 0x06, 0, 0, boot)), 0x6985);
  EXPECT_EQ(os.persistent().oem_data[0], 0xFF);
  // Still allowed: label, OEM reads and a format (token initialisation).
  EXPECT_EQ(run(apdu3e(0x80, 0x02, 0x00, 0x00, {'O', 'K'})), 0x9000);
  EXPECT_EQ(get(0x0A, 1), (bytes{0xFF}));
  EXPECT_EQ(run(apdu3e(0xC0, 0x00, 8, 0, format_data(format_record("L", "", 0), bytes(32, 0)))), 0x9000);
  EXPECT_EQ(run(apdu3e(0xC0, 0x0E, 1, 0, {0x01})), 0x6A86);
}

// ---- OEM data ----

bytes read_oem(card_os& os, uint16_t offset, uint16_t le, uint16_t* status) {
  const bytes r = os.process(apdu2e(0xC0, 0x0A, offset >> 8, offset & 0xFF, le));
  *status = sw_of(r);
  return body(r);
}

TEST_F(factory, OemDataDefaultsToErasedAndReadsAreBounded) {
  struct c {
    const char* what;
    uint16_t offset, le;
    uint16_t sw;
    size_t n;  // bytes answered
  };
  const std::vector<c> cases = {
      {"host listing read", 0, 128, 0x9000, 128},
      {"whole", 0, 512, 0x9000, 512},
      {"more than there is", 0, 1024, 0x9000, 512},
      {"tail", 500, 128, 0x9000, 12},
      {"last byte", 511, 1, 0x9000, 1},
      {"offset at the end", 512, 1, 0x6B00, 0},
      {"offset far out", 0xFFFF, 16, 0x6B00, 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    uint16_t status = 0;
    const bytes d = read_oem(os, k.offset, k.le, &status);
    EXPECT_EQ(status, k.sw);
    EXPECT_EQ(d, bytes(k.n, 0xFF));
  }
  EXPECT_EQ(run(apdu1(0xC0, 0x0A, 0, 0)), 0x6700) << "no Le";
}

TEST_F(factory, OemWritesLandAtTheirOffsetOrNotAtAll) {
  struct c {
    const char* what;
    uint16_t offset;
    size_t n;
    uint16_t sw;
  };
  const std::vector<c> cases = {
      {"start", 0, 4, 0x9000},
      {"middle", 200, 10, 0x9000},
      {"up to the end", 500, 12, 0x9000},
      {"one past the end", 501, 12, 0x6700},
      {"whole", 0, 512, 0x9000},
      {"too long", 0, 513, 0x6700},
      {"offset at the end", 512, 1, 0x6B00},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    os.persistent().oem_data.assign(512, 0xFF);
    bytes data(k.n);
    for (size_t i = 0; i < k.n; ++i) data[i] = static_cast<uint8_t>(i * 3 + 1);
    EXPECT_EQ(run(apdu3e(0xC0, 0x0C, k.offset >> 8, k.offset & 0xFF, data)), k.sw);
    bytes expect(512, 0xFF);
    if (k.sw == 0x9000) std::copy(data.begin(), data.end(), expect.begin() + k.offset);
    EXPECT_EQ(os.persistent().oem_data, expect);
    if (k.sw == 0x9000) {
      uint16_t status = 0;
      EXPECT_EQ(read_oem(os, k.offset, static_cast<uint16_t>(k.n), &status), data);
    }
  }
}

TEST_F(factory, FactoryStateSurvivesASaveAndRestore) {
  ASSERT_EQ(run(apdu3e(0xC0, 0x0C, 0x00, 0x10, {'A', 'C', 'M', 'E'})), 0x9000);
  ASSERT_EQ(run(apdu3e(0xC0, 0x00, 8, 0,
                       format_data(format_record("Saved", "SN-9", 0x800), key_block(bytes(16, 0x33))))),
            0x9000);
  ASSERT_EQ(run(apdu3e(0xC0, 0x0E, 0, 0, {0x01})), 0x9000);

  persistent_state back;
  std::string error;
  ASSERT_TRUE(back.from_json(nlohmann::json::parse(os.persistent().to_json().dump()), &error)) << error;
  card_os other(back);
  uint16_t status = 0;
  EXPECT_EQ(read_oem(other, 0x10, 4, &status), (bytes{'A', 'C', 'M', 'E'}));
  EXPECT_TRUE(other.persistent().cos_locked);
  EXPECT_EQ(other.persistent().total_space, 0x800u);
  EXPECT_EQ(other.persistent().label, "Saved");
  EXPECT_EQ(other.persistent().device_serial_number(), "SN-9");
  EXPECT_EQ(other.persistent().dev_auth_key, os.persistent().dev_auth_key);
}

}  // namespace
