// Byte and string helpers, and the small rules of the token API objects.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "token_api/gm_sc_app.h"
#include "token_api/gm_sc_key.h"
#include "token_api/vk_utility.h"

namespace {

TEST(SplitStrings, BoundsTheTableAndTheEntries) {
  vk_utility::split_entry table[vk_utility::k_split_entries_max];
  std::string forty;
  for (int i = 0; i < 40; ++i) forty += "p" + std::to_string(i) + ",";
  EXPECT_EQ(32, vk_utility::split_strings(",", forty.c_str(), table));
  EXPECT_STREQ("p0", table[0]);
  EXPECT_STREQ("p31", table[31]);

  EXPECT_EQ(-1, vk_utility::split_strings(",|", ",,|,|", table));
  EXPECT_EQ(-1, vk_utility::split_strings(",", "", table));
  EXPECT_EQ(-1, vk_utility::split_strings(nullptr, "a", table));
  EXPECT_EQ(-1, vk_utility::split_strings(",", nullptr, table));

  EXPECT_EQ(3, vk_utility::split_strings(",|", "|a,,b|c|", table));
  EXPECT_STREQ("a", table[0]);
  EXPECT_STREQ("b", table[1]);
  EXPECT_STREQ("c", table[2]);

  // A piece longer than an entry is cut to 255 characters and terminated.
  const std::string big(1000, 'x');
  EXPECT_EQ(2, vk_utility::split_strings(",", (big + ",y").c_str(), table));
  EXPECT_EQ(255u, std::strlen(table[0]));
  EXPECT_STREQ("y", table[1]);

  // Only the first 4096 characters are looked at.
  const std::string longtext = std::string(4096, 'z') + ",tail";
  EXPECT_EQ(1, vk_utility::split_strings(",", longtext.c_str(), table));
}

TEST(AsciiToUnicode, NeedsRoomForATerminatorItDoesNotWrite) {
  unsigned char out[8];
  std::memset(out, 0xEE, sizeof out);
  uint32_t size = 5;
  EXPECT_EQ(1, vk_utility::ascii_to_unicode("ab", out, &size));
  EXPECT_EQ(5u, size);
  EXPECT_EQ(0xEE, out[0]);  // nothing written

  size = 6;
  EXPECT_EQ(0, vk_utility::ascii_to_unicode("ab", out, &size));
  EXPECT_EQ(4u, size);
  uint16_t u0, u1;
  std::memcpy(&u0, out, 2);
  std::memcpy(&u1, out + 2, 2);
  EXPECT_EQ('a', u0);
  EXPECT_EQ('b', u1);
  EXPECT_EQ(0xEE, out[4]);  // no terminator

  size = 2;
  EXPECT_EQ(0, vk_utility::ascii_to_unicode("", out, &size));
  EXPECT_EQ(0u, size);
  size = 1;
  EXPECT_EQ(1, vk_utility::ascii_to_unicode("", out, &size));
  const char high[] = "\xE4";
  size = 4;
  EXPECT_EQ(0, vk_utility::ascii_to_unicode(high, out, &size));
  std::memcpy(&u0, out, 2);
  EXPECT_EQ(0x00E4, u0);  // widened, not sign-extended
  EXPECT_EQ(1, vk_utility::ascii_to_unicode("a", nullptr, &size));
}

TEST(ByteHelpers, OrderAndTrim) {
  unsigned char b[] = {1, 2, 3, 4, 5};
  vk_utility::reverse_bytes(b, 5);
  EXPECT_EQ(0, std::memcmp(b, "\x05\x04\x03\x02\x01", 5));
  vk_utility::reverse_bytes(b, 1);
  vk_utility::reverse_bytes(b, 0);
  EXPECT_EQ(5, b[0]);
  EXPECT_EQ(0x3412, vk_utility::reverse_word(0x1234));
  EXPECT_EQ(0x78563412u, vk_utility::reverse_dword(0x12345678u));
  unsigned char be[4];
  vk_utility::fill_buff_with_word_value_be(0xA1B2, be);
  EXPECT_EQ(0, std::memcmp(be, "\xA1\xB2", 2));
  vk_utility::fill_buff_with_dword_value_be(0x01020304u, be);
  EXPECT_EQ(0, std::memcmp(be, "\x01\x02\x03\x04", 4));

  struct row {
    const char* in;
    const char* l;
    const char* r;
    const char* both;
  };
  for (const row& t : {row{" \t a b \t", "a b \t", " \t a b", "a b"}, row{"", "", "", ""},
                       row{" \t ", "", "", ""}, row{"x", "x", "x", "x"}}) {
    char a[32], c[32], d[32];
    std::strcpy(a, t.in);
    std::strcpy(c, t.in);
    std::strcpy(d, t.in);
    EXPECT_STREQ(t.l, vk_utility::ltrim(a));
    EXPECT_STREQ(t.r, vk_utility::rtrim(c));
    EXPECT_STREQ(t.both, vk_utility::trim(d));
  }
  EXPECT_EQ(nullptr, vk_utility::trim(nullptr));
}

TEST(DigestContext, BlockSizesAndTokenAlgorithm) {
  struct row {
    uint32_t alg;
    int size;
    uint32_t dev_alg;
  };
  for (const row& r : {row{1, 32, 1}, row{2, 20, 2}, row{3, 32, 3}, row{4, 32, 3}, row{129, 16, 129},
                       row{0, 0, 0}, row{5, 0, 5}}) {
    gm_sc_digest d(r.alg);
    EXPECT_EQ(r.size, d.get_block_size()) << r.alg;
    EXPECT_EQ(r.dev_alg, d.get_dev_alg_id()) << r.alg;
  }
  gm_sc_digest d(1);
  EXPECT_EQ(1u, d.get_engine());
  d.use_software_engine();
  EXPECT_EQ(0u, d.get_engine());
  EXPECT_EQ(16, gm_sc_mac::get_block_size());
}

TEST(Application, InfoAnswerAndLoginNormalisation) {
  const unsigned char rsp[10] = {1, 2, 3, 4, 5, 6, 7, 8, 0x12, 0x34};
  AppInfoRsp info;
  EXPECT_FALSE(AppInfoRsp::parse(rsp, 9, &info));
  ASSERT_TRUE(AppInfoRsp::parse(rsp, 10, &info));
  EXPECT_EQ(0x1234, info.app_id);
  gm_sc_app app("app", info);
  EXPECT_EQ(0x1234, app.get_app_id());
  EXPECT_EQ(0, std::memcmp(app.get_info_lead(), rsp, 8));
  EXPECT_EQ(0u, app.IsVerify());
  app.set_user_logged_in(5);
  EXPECT_EQ(1u, app.IsVerify());  // normalised
  app.set_pin_check(1);
  EXPECT_EQ(5u, app.IsVerify());  // as stored
}

}  // namespace
