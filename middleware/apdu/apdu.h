// The command record.
#pragma once

#include <cstdint>

// Encoding cases: the ISO case number, plus 16 for the extended forms.
enum apdu_case {
  APDU_CASE_1 = 1,    // CLA INS P1 P2
  APDU_CASE_2E = 18,  // CLA INS P1 P2 00 Le(2)
  APDU_CASE_3E = 19,  // CLA INS P1 P2 00 Lc(2) data
  APDU_CASE_4E = 20,  // CLA INS P1 P2 00 Lc(2) data Le(2)
};

// Results of serialize/deserialize.
constexpr int APDU_OK = 0;
constexpr int APDU_ERR_INVALID = -1300;    // invalid record or null argument
constexpr int APDU_ERR_BUFFER = -1303;     // buffer too small
constexpr int APDU_ERR_RESPONSE = -1400;   // response shorter than 2 bytes

// CLA bit: more command data follows (command chaining).
constexpr uint8_t APDU_CLA_CHAIN = 0x10;

class apdu {
 public:
  apdu(int apdu_case, unsigned char cla, int ins, int p1, int p2, const char* name);
  ~apdu();
  apdu(const apdu&) = delete;
  apdu& operator=(const apdu&) = delete;

  // Frees owned data, copies `len` bytes into a new owned buffer, sets Lc and
  // the data length.
  void set_lc_data(const unsigned char* data, int len);
  // Sets Le, and the response length field while no response is held.
  void set_le(int le);
  void set_not_last_ins() { cla_ |= APDU_CLA_CHAIN; }
  void set_last_ins() { cla_ &= static_cast<unsigned char>(~APDU_CLA_CHAIN); }
  void set_comm_timeout(int ms) { timeout_ = ms; }
  int get_comm_timeout() const { return timeout_; }

  // A new record with the same case, CLA, INS, P1, P2 and name; no data, Le
  // 0, timeout 0. The caller owns it.
  apdu* clone() const;

  // Null buffer: stores the encoded length in *len and returns 0 (or -1300
  // for an invalid record). Otherwise *len is the capacity on entry.
  int serialize(unsigned char* buf, int* len) const;
  int deserialize(const unsigned char* resp, int len);

  int get_sw() const { return sw1_ * 256 + sw2_; }
  const unsigned char* get_response_data(int* len) const;
  // The encoded length for the current case (no validation; 0 for an
  // unknown case).
  int get_length() const;

  // Field access.
  int get_case() const { return case_; }
  unsigned char get_cla() const { return cla_; }
  unsigned char get_ins() const { return ins_; }
  unsigned char get_p1() const { return p1_; }
  unsigned char get_p2() const { return p2_; }
  int get_lc() const { return lc_; }
  int get_le() const { return le_; }
  const unsigned char* get_data() const { return data_; }
  int get_data_length() const { return data_len_; }
  const char* get_name() const { return name_; }
  void set_cla(unsigned char cla) { cla_ = cla; }
  void set_p1(int p1) { p1_ = static_cast<unsigned char>(p1); }
  void set_p2(int p2) { p2_ = static_cast<unsigned char>(p2); }
  // Sets Lc alone (the data stays): builders that announce a length, and
  // tests of invalid records.
  void set_lc(int lc) { lc_ = lc; }
  void set_case(int c) { case_ = c; }

 private:
  bool valid() const;
  void free_data();

  int case_;
  unsigned char cla_, ins_, p1_, p2_;
  int lc_ = 0;
  int le_ = 0;
  int owns_data_ = 0;
  unsigned char* data_ = nullptr;
  int data_len_ = 0;
  unsigned char* resp_ = nullptr;
  int resp_len_ = 0;
  int sw1_ = 0, sw2_ = 0;
  char name_[64];
  int timeout_ = 0;
};
