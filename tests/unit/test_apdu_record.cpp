// The command record's encoding and decoding, the builders' base
// (continuation records, sm_encrypt) and the registry. No device involved.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "apdu/apdu.h"
#include "apdu/apdu_registry.h"
#include "apdu/app_cmd_util.h"
#include "rx7100_app.h"

namespace {

std::vector<uint8_t> encode(const apdu& a, int* rc = nullptr) {
  int len = 0;
  int r = a.serialize(nullptr, &len);
  if (rc) *rc = r;
  if (r != 0) return {};
  std::vector<uint8_t> out(len);
  r = a.serialize(out.data(), &len);
  if (rc) *rc = r;
  if (r != 0) return {};
  out.resize(len);
  return out;
}

TEST(apdu_encoding, Case3EWithThreeBytes) {
  apdu a(19, 0x80, 0x2A, 0x01, 0x02, "Test");
  const uint8_t d[] = {0xD1, 0xD2, 0xD3};
  a.set_lc_data(d, 3);
  EXPECT_EQ(a.get_length(), 10);
  EXPECT_EQ(encode(a), (std::vector<uint8_t>{0x80, 0x2A, 0x01, 0x02, 0x00, 0x00, 0x03, 0xD1, 0xD2,
                                             0xD3}));
}

TEST(apdu_encoding, Case2EWithLeZero) {
  apdu a(18, 0x80, 0x50, 0x00, 0x00, "GenRandom");
  EXPECT_EQ(encode(a), (std::vector<uint8_t>{0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x00}));
  a.set_le(65536);  // written modulo 65536
  EXPECT_EQ(encode(a), (std::vector<uint8_t>{0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x00}));
  a.set_le(0x1234);
  EXPECT_EQ(encode(a), (std::vector<uint8_t>{0x80, 0x50, 0x00, 0x00, 0x00, 0x12, 0x34}));
}

TEST(apdu_encoding, Case4E) {
  apdu a(20, 0x80, 0x2B, 0x00, 0x00, "x");
  const uint8_t d[] = {0xD1, 0xD2};
  a.set_lc_data(d, 2);
  a.set_le(0x0100);
  EXPECT_EQ(encode(a), (std::vector<uint8_t>{0x80, 0x2B, 0x00, 0x00, 0x00, 0x00, 0x02, 0xD1, 0xD2,
                                             0x01, 0x00}));
}

TEST(apdu_encoding, Case1) {
  apdu a(1, 0x00, 0xA4, 0x04, 0x00, "x");
  EXPECT_EQ(encode(a), (std::vector<uint8_t>{0x00, 0xA4, 0x04, 0x00}));
}

TEST(apdu_encoding, BufferTooSmallAndNullLength) {
  apdu a(18, 0x80, 0x50, 0, 0, "x");
  uint8_t buf[6];
  int len = 6;
  EXPECT_EQ(a.serialize(buf, &len), APDU_ERR_BUFFER);
  EXPECT_EQ(a.serialize(buf, nullptr), APDU_ERR_INVALID);
}

struct invalid_case {
  const char* name;
  int apdu_case;
  int data_len;  // set_lc_data with this many bytes (0: none)
  int lc;        // -1: leave as set_lc_data made it
  int le;
};

class apdu_invalid : public ::testing::TestWithParam<invalid_case> {};

TEST_P(apdu_invalid, SerializeFails) {
  const invalid_case& c = GetParam();
  apdu a(c.apdu_case, 0x80, 0x01, 0, 0, c.name);
  std::vector<uint8_t> d(c.data_len, 0x42);
  if (c.data_len) a.set_lc_data(d.data(), c.data_len);
  if (c.lc >= 0) a.set_lc(c.lc);
  if (c.le) a.set_le(c.le);
  int len = 0;
  EXPECT_EQ(a.serialize(nullptr, &len), APDU_ERR_INVALID);
  uint8_t buf[128];
  len = sizeof(buf);
  EXPECT_EQ(a.serialize(buf, &len), APDU_ERR_INVALID);
}

INSTANTIATE_TEST_SUITE_P(
    Records, apdu_invalid,
    ::testing::Values(invalid_case{"case19_with_le", 19, 3, -1, 5},
                      invalid_case{"case19_data_differs_from_lc", 19, 3, 4, 0},
                      invalid_case{"case19_without_data", 19, 0, -1, 0},
                      invalid_case{"case20_without_data", 20, 0, -1, 0},
                      invalid_case{"case20_le_too_big", 20, 2, -1, 65537},
                      invalid_case{"case1_with_data", 1, 2, -1, 0},
                      invalid_case{"case1_with_le", 1, 0, -1, 1},
                      invalid_case{"case18_with_data", 18, 2, -1, 0},
                      invalid_case{"case18_le_too_big", 18, 0, -1, 65537},
                      invalid_case{"unknown_case", 4, 0, -1, 0},
                      invalid_case{"case2_short_form", 2, 0, -1, 0}),
    [](const ::testing::TestParamInfo<invalid_case>& i) { return std::string(i.param.name); });

TEST(apdu_decoding, Responses) {
  apdu a(18, 0x80, 0x50, 0, 0, "x");
  const uint8_t one[] = {0x90};
  EXPECT_EQ(a.deserialize(one, 1), APDU_ERR_RESPONSE);
  const uint8_t two[] = {0x6A, 0x82};
  EXPECT_EQ(a.deserialize(two, 2), 0);
  EXPECT_EQ(a.get_sw(), 0x6A82);
  int len = -1;
  EXPECT_EQ(a.get_response_data(&len), nullptr);
  EXPECT_EQ(len, 0);
  const uint8_t five[] = {1, 2, 3, 0x90, 0x00};
  EXPECT_EQ(a.deserialize(five, 5), 0);
  EXPECT_EQ(a.get_sw(), 0x9000);
  const unsigned char* d = a.get_response_data(&len);
  ASSERT_EQ(len, 3);
  EXPECT_EQ(d[2], 3);
  EXPECT_EQ(a.deserialize(two, 2), 0);  // replaces the earlier response
  EXPECT_EQ(a.get_response_data(&len), nullptr);
}

// Le set on a record that already holds a response does not change the
// response's length: it still describes the buffer the record owns, which
// readers copy from and the destructor wipes.
TEST(apdu_record, LeAfterResponseKeepsResponseLength) {
  apdu a(18, 0x80, 0x50, 0x00, 0x00, "GenRandom");
  a.set_le(4);
  const uint8_t resp[] = {0xA1, 0xA2, 0x90, 0x00};
  ASSERT_EQ(a.deserialize(resp, 4), 0);
  a.set_le(4096);
  EXPECT_EQ(a.get_le(), 4096);
  int len = -1;
  const unsigned char* d = a.get_response_data(&len);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(d[1], 0xA2);
  unsigned char out[8] = {0};
  int copied = 0;
  EXPECT_EQ(rx::cmd::copy_response(a, out, sizeof out, &copied), 0);
  EXPECT_EQ(copied, 2);
}

TEST(apdu_record, CloneAndChainingBits) {
  apdu a(20, 0x80, 0x36, 0x01, 0x02, "ImportCertificate");
  const uint8_t d[] = {1, 2};
  a.set_lc_data(d, 2);
  a.set_le(8);
  a.set_comm_timeout(30000);
  a.set_not_last_ins();
  EXPECT_EQ(a.get_cla(), 0x90);
  std::unique_ptr<apdu> c(a.clone());
  EXPECT_EQ(c->get_case(), 20);
  EXPECT_EQ(c->get_cla(), 0x90);
  EXPECT_EQ(c->get_ins(), 0x36);
  EXPECT_EQ(c->get_p1(), 1);
  EXPECT_EQ(c->get_p2(), 2);
  EXPECT_STREQ(c->get_name(), "ImportCertificate");
  EXPECT_EQ(c->get_data(), nullptr);
  EXPECT_EQ(c->get_lc(), 0);
  EXPECT_EQ(c->get_le(), 0);
  EXPECT_EQ(c->get_comm_timeout(), 0);
  c->set_last_ins();
  EXPECT_EQ(c->get_cla(), 0x80);

  apdu_mgr_base base;
  const uint8_t chunk[] = {9, 8, 7};
  std::unique_ptr<apdu> more(base.create_apdu_transmit_more_data(a, chunk, 3));
  EXPECT_EQ(more->get_lc(), 3);
  EXPECT_EQ(more->get_data_length(), 3);
  EXPECT_EQ(more->get_cla(), 0x90);
}

TEST(apdu_record, NameBoundedTo64) {
  std::string longname(100, 'n');
  apdu a(1, 0, 0, 0, 0, longname.c_str());
  EXPECT_EQ(std::string(a.get_name()), std::string(63, 'n'));
}

std::vector<uint8_t> sm4_ecb_reference(const uint8_t* key, const std::vector<uint8_t>& plain) {
  std::vector<uint8_t> out(plain.size() + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_get_cipherbyname("SM4-ECB"), nullptr, key, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n1 = 0, n2 = 0;
  EVP_EncryptUpdate(ctx, out.data(), &n1, plain.data(), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(n1 + n2);
  return out;
}

TEST(sm_encrypt, KnownVectorOfTheCipher) {
  // GB/T 32907 example 1: key = plaintext = 0123456789abcdeffedcba9876543210.
  const uint8_t k[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                         0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
  std::vector<uint8_t> p(k, k + 16);
  EXPECT_EQ(sm4_ecb_reference(k, p),
            (std::vector<uint8_t>{0x68, 0x1e, 0xdf, 0x34, 0xd2, 0x06, 0x96, 0x5e, 0x86, 0xb3, 0xe9,
                                  0x4f, 0x53, 0x6e, 0x42, 0x46}));
}

struct sm_case {
  int len;
  int total;
};
class sm_encrypt_layout : public ::testing::TestWithParam<sm_case> {};

TEST_P(sm_encrypt_layout, LengthDataMarkerZeros) {
  const uint8_t key[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                           0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
  const int len = GetParam().len;
  std::vector<uint8_t> data(len);
  for (int i = 0; i < len; ++i) data[i] = static_cast<uint8_t>(0x30 + i);
  int out_len = 0;
  apdu_mgr_base base;
  unsigned char* out = base.sm_encrypt(key, data.data(), len, &out_len);
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(out_len, GetParam().total);
  std::vector<uint8_t> plain(GetParam().total, 0);
  plain[0] = static_cast<uint8_t>(len & 0xff);
  plain[1] = static_cast<uint8_t>(len >> 8);
  std::copy(data.begin(), data.end(), plain.begin() + 2);
  plain[2 + len] = 0x80;
  EXPECT_EQ(std::vector<uint8_t>(out, out + out_len), sm4_ecb_reference(key, plain));
  std::free(out);
}

INSTANTIATE_TEST_SUITE_P(Sizes, sm_encrypt_layout,
                         ::testing::Values(sm_case{0, 16}, sm_case{6, 16}, sm_case{13, 16},
                                           sm_case{14, 32}, sm_case{16, 32}, sm_case{30, 48},
                                           sm_case{300, 304}));

TEST(sm_encrypt, BadArguments) {
  apdu_mgr_base base;
  const uint8_t key[16] = {0};
  int out_len = 0;
  EXPECT_EQ(base.sm_encrypt(nullptr, key, 1, &out_len), nullptr);
  EXPECT_EQ(base.sm_encrypt(key, key, -1, &out_len), nullptr);
  EXPECT_EQ(base.sm_encrypt(key, nullptr, 3, &out_len), nullptr);
}

TEST(registry, AccessorsAreStableSingletons) {
  EXPECT_EQ(get_dev_mgr(), get_dev_mgr());
  EXPECT_NE(get_apdu_mgr(), nullptr);
  EXPECT_NE(get_apdu_dev_mgr(), nullptr);
  EXPECT_NE(get_rsa_mgr(), nullptr);
  EXPECT_NE(get_ecc_mgr(), nullptr);
  EXPECT_NE(get_key_mgr(), nullptr);
  EXPECT_NE(get_cryption_mgr(), nullptr);
  EXPECT_NE(get_digest_mgr(), nullptr);
  EXPECT_NE(get_mac_mgr(), nullptr);
  EXPECT_NE(get_factory_mgr(), nullptr);
  EXPECT_NE(get_finger_mgr(), nullptr);
  apdu_mgr_base* b = get_rsa_mgr();
  EXPECT_NE(b, static_cast<apdu_mgr_base*>(get_ecc_mgr()));
}

TEST(settings, DefaultsAndSetters) {
  EXPECT_EQ(get_max_transmit_len(), 1024);
  EXPECT_EQ(get_max_io_delay(), 4);
  set_max_transmit_len(512);
  set_max_io_delay(9);
  EXPECT_EQ(get_max_transmit_len(), 512);
  EXPECT_EQ(get_max_io_delay(), 9);
  set_max_transmit_len(1024);
  set_max_io_delay(4);
}

}  // namespace
