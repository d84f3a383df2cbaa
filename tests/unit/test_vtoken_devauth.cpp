// Device authentication on the virtual token: the answer to the last
// challenge, the retry counter, blocking, single-use challenges, the key
// change commands and which of it survives a power cycle or a save/restore.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

#include "card_os.h"
#include "vtok_hid_host.h"

using namespace vtok;
using vtok_test::apdu2e;
using vtok_test::apdu3e;
using vtok_test::sw_of;

namespace {

using bytes = std::vector<uint8_t>;

const bytes default_key = {'5', '0', '9', '3', '8', '1', '7', '2',
                           '4', '6', '0', '5', '9', '3', '8', '1'};

bytes sm4_ecb(const bytes& key, const bytes& in, bool encrypt = true) {
  std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> c(EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr),
                                                            EVP_CIPHER_free);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  EXPECT_TRUE(c && ctx);
  bytes out(in.size());
  int n = 0, f = 0;
  EXPECT_EQ(EVP_CipherInit_ex2(ctx.get(), c.get(), key.data(), nullptr, encrypt ? 1 : 0, nullptr), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())), 1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx.get(), out.data() + n, &f), 1);
  return out;
}

bytes body(const bytes& r) { return bytes(r.begin(), r.end() - 2); }

class devauth : public ::testing::Test {
 protected:
  void SetUp() override { os.persistent().serial = "VTDEVAUTH01"; }
  card_os os;

  bytes challenge(uint16_t n = 8) {
    const bytes r = os.process(apdu2e(0x80, 0x50, 0, 0, n));
    EXPECT_EQ(sw_of(r), 0x9000);
    return body(r);
  }
  // The answer the token expects: its challenge's first 8 bytes, 8 zero
  // bytes, SM4-ECB under the key.
  static bytes answer_for(const bytes& ch, const bytes& key) {
    bytes block(16, 0);
    std::copy(ch.begin(), ch.begin() + 8, block.begin());
    return sm4_ecb(key, block);
  }
  uint16_t dev_auth(const bytes& data, uint8_t key_id = 0) {
    return sw_of(os.process(apdu3e(0x80, 0x10, 0x00, key_id, data)));
  }
  uint16_t auth_with(const bytes& key) { return dev_auth(answer_for(challenge(), key)); }
  uint16_t wrong_auth() { return auth_with(bytes(16, 0x11)); }
  uint16_t change_key(const bytes& key) { return sw_of(os.process(apdu3e(0x84, 0x12, 0x00, 0x00, key))); }
};

TEST_F(devauth, DefaultKeyAuthenticatesAndMarksTheDevice) {
  EXPECT_FALSE(os.volatiles().device_authenticated);
  EXPECT_EQ(auth_with(default_key), 0x9000);
  EXPECT_TRUE(os.volatiles().device_authenticated);
  // A 16-byte challenge: only its first 8 bytes count.
  const bytes ch = challenge(16);
  EXPECT_EQ(dev_auth(answer_for(ch, default_key)), 0x9000);
}

TEST_F(devauth, WrongAnswersCountDownToBlocked) {
  for (int left = 14; left >= 0; --left)
    EXPECT_EQ(wrong_auth(), 0x63C0 | left) << "tries left " << left;
  EXPECT_EQ(os.persistent().dev_auth_retries, 0);
  // Blocked: even the right answer is refused, and nothing changes.
  EXPECT_EQ(auth_with(default_key), 0x6983);
  EXPECT_EQ(wrong_auth(), 0x6983);
  EXPECT_FALSE(os.volatiles().device_authenticated);
}

TEST_F(devauth, SuccessRestoresTheTriesAndFailureDropsTheMark) {
  EXPECT_EQ(wrong_auth(), 0x63CE);
  EXPECT_EQ(wrong_auth(), 0x63CD);
  EXPECT_EQ(auth_with(default_key), 0x9000);
  EXPECT_EQ(os.persistent().dev_auth_retries, 15);
  EXPECT_EQ(wrong_auth(), 0x63CE);  // counts from the top again
  EXPECT_FALSE(os.volatiles().device_authenticated);
}

TEST_F(devauth, ChallengeServesOneAttemptWhateverItsOutcome) {
  const bytes ch = challenge();
  const bytes good = answer_for(ch, default_key);
  EXPECT_EQ(dev_auth(good), 0x9000);
  EXPECT_EQ(dev_auth(good), 0x6985) << "replayed answer";

  const bytes ch2 = challenge();
  EXPECT_EQ(dev_auth(bytes(16, 0)), 0x63CE);
  EXPECT_EQ(dev_auth(answer_for(ch2, default_key)), 0x6985) << "challenge spent on the wrong try";

  // A malformed DevAuth spends the challenge too, without costing a try.
  const bytes ch3 = challenge();
  EXPECT_EQ(dev_auth(bytes(15, 0)), 0x6700);
  EXPECT_EQ(dev_auth(answer_for(ch3, default_key)), 0x6985);
  EXPECT_EQ(os.persistent().dev_auth_retries, 14);
}

TEST_F(devauth, NoUsableChallengeIsRefusedWithoutCostingATry) {
  struct c {
    const char* what;
    int challenge_len;  // -1: none
  };
  for (const c& k : {c{"none", -1}, c{"4 bytes", 4}, c{"7 bytes", 7}}) {
    SCOPED_TRACE(k.what);
    bytes ch;
    if (k.challenge_len >= 0) ch = challenge(static_cast<uint16_t>(k.challenge_len));
    ch.resize(8, 0);  // what a host would encrypt with zero-padding
    EXPECT_EQ(dev_auth(answer_for(ch, default_key)), 0x6985);
    EXPECT_EQ(os.persistent().dev_auth_retries, 15);
  }
}

TEST_F(devauth, MalformedCommands) {
  struct c {
    const char* what;
    bytes apdu;
    uint16_t sw;
  };
  const bytes sixteen(16, 0);
  const std::vector<c> cases = {
      {"key id 1", apdu3e(0x80, 0x10, 0x00, 0x01, sixteen), 0x6A88},
      {"P1 1", apdu3e(0x80, 0x10, 0x01, 0x00, sixteen), 0x6A86},
      {"17 bytes", apdu3e(0x80, 0x10, 0x00, 0x00, bytes(17, 0)), 0x6700},
      {"32 bytes", apdu3e(0x80, 0x10, 0x00, 0x00, bytes(32, 0)), 0x6700},
      {"no data", apdu2e(0x80, 0x10, 0x00, 0x00, 16), 0x6700},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    challenge();
    EXPECT_EQ(sw_of(os.process(k.apdu)), k.sw);
  }
  EXPECT_EQ(os.persistent().dev_auth_retries, 15);
}

TEST_F(devauth, ChangeKeyNeedsAuthenticationAndTakesTheKeyInClear) {
  const bytes new_key = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  EXPECT_EQ(change_key(new_key), 0x6982);
  ASSERT_EQ(auth_with(default_key), 0x9000);
  EXPECT_EQ(change_key(bytes(15, 1)), 0x6700);
  EXPECT_EQ(change_key(bytes(32, 1)), 0x6700);
  EXPECT_EQ(sw_of(os.process(apdu3e(0x84, 0x12, 0x00, 0x01, new_key))), 0x6A88);
  EXPECT_EQ(change_key(new_key), 0x9000);
  EXPECT_TRUE(os.volatiles().device_authenticated) << "the mark stays after a change";
  EXPECT_EQ(auth_with(default_key), 0x63CE);
  EXPECT_EQ(auth_with(new_key), 0x9000);
}

TEST_F(devauth, ChangeKeyExTakesTheKeyEncryptedUnderTheCurrentOne) {
  const bytes new_key(16, 0x5A);
  const bytes block = sm4_ecb(default_key, new_key);
  EXPECT_EQ(sw_of(os.process(apdu3e(0xC0, 0x36, 0x00, 0x00, block))), 0x6982);
  ASSERT_EQ(auth_with(default_key), 0x9000);
  EXPECT_EQ(sw_of(os.process(apdu3e(0xC0, 0x36, 0x00, 0x01, block))), 0x6A86);
  EXPECT_EQ(sw_of(os.process(apdu3e(0xC0, 0x36, 0x00, 0x00, bytes(8, 0)))), 0x6700);
  EXPECT_EQ(sw_of(os.process(apdu3e(0xC0, 0x36, 0x00, 0x00, block))), 0x9000);
  EXPECT_EQ(auth_with(new_key), 0x9000);
}

TEST_F(devauth, KeyChangeRestoresTheTries) {
  ASSERT_EQ(auth_with(default_key), 0x9000);
  const bytes new_key(16, 0x42);
  ASSERT_EQ(change_key(new_key), 0x9000);
  EXPECT_EQ(wrong_auth(), 0x63CE);
  EXPECT_EQ(os.persistent().dev_auth_retries, 14);
  ASSERT_EQ(auth_with(new_key), 0x9000);
  ASSERT_EQ(change_key(default_key), 0x9000);
  EXPECT_EQ(os.persistent().dev_auth_retries, 15);
}

TEST_F(devauth, AuthenticationIsVolatileWhileKeyAndTriesPersist) {
  auto restore = [](const card_os& from) {
    const std::string saved = from.persistent().to_json().dump();
    persistent_state s;
    EXPECT_TRUE(s.from_json(nlohmann::json::parse(saved)));
    return std::make_unique<card_os>(s);
  };
  const bytes new_key(16, 0x77);
  ASSERT_EQ(auth_with(default_key), 0x9000);
  ASSERT_EQ(change_key(new_key), 0x9000);
  ASSERT_TRUE(os.volatiles().device_authenticated);

  // Saved while authenticated: the key comes along, the authentication not.
  auto other = restore(os);
  EXPECT_FALSE(other->volatiles().device_authenticated);
  EXPECT_EQ(sw_of(other->process(apdu3e(0x84, 0x12, 0, 0, default_key))), 0x6982);
  bytes ch = body(other->process(apdu2e(0x80, 0x50, 0, 0, 8)));
  EXPECT_EQ(sw_of(other->process(apdu3e(0x80, 0x10, 0, 0, answer_for(ch, default_key)))), 0x63CE);

  // The tries left come along too.
  ASSERT_EQ(wrong_auth(), 0x63CE);
  ASSERT_EQ(wrong_auth(), 0x63CD);
  other = restore(os);
  EXPECT_EQ(other->persistent().dev_auth_retries, 13);
  ch = body(other->process(apdu2e(0x80, 0x50, 0, 0, 8)));
  EXPECT_EQ(sw_of(other->process(apdu3e(0x80, 0x10, 0, 0, answer_for(ch, new_key)))), 0x9000);

  // A power cycle drops the mark.
  ASSERT_EQ(auth_with(new_key), 0x9000);
  os.reset_volatile();
  EXPECT_FALSE(os.volatiles().device_authenticated);
  EXPECT_EQ(change_key(default_key), 0x6982);
}

TEST_F(devauth, StateChangesAreReportedForEveryCounterMove) {
  int reports = 0;
  os.set_state_changed_callback([&](const persistent_state&) { ++reports; });
  ASSERT_EQ(auth_with(default_key), 0x9000);
  EXPECT_EQ(reports, 0) << "nothing persistent changed";
  ASSERT_EQ(wrong_auth(), 0x63CE);
  EXPECT_EQ(reports, 1);
  ASSERT_EQ(auth_with(default_key), 0x9000);
  EXPECT_EQ(reports, 2) << "the counter went back up";
  ASSERT_EQ(change_key(bytes(16, 3)), 0x9000);
  EXPECT_EQ(reports, 3);
}

}  // namespace
