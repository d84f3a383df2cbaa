#include "apdu/apdu.h"

#include <cstdio>
#include <cstring>

#include <openssl/crypto.h>

apdu::apdu(int apdu_case, unsigned char cla, int ins, int p1, int p2, const char* name)
    : case_(apdu_case),
      cla_(cla),
      ins_(static_cast<unsigned char>(ins)),
      p1_(static_cast<unsigned char>(p1)),
      p2_(static_cast<unsigned char>(p2)) {
  std::memset(name_, 0, sizeof(name_));
  if (name) std::snprintf(name_, sizeof(name_), "%s", name);
}

apdu::~apdu() {
  free_data();
  if (resp_ && resp_len_ > 0) OPENSSL_cleanse(resp_, resp_len_);
  delete[] resp_;
}

void apdu::free_data() {
  if (owns_data_) {
    // Command data may carry keys or PIN blocks.
    if (data_ && data_len_ > 0) OPENSSL_cleanse(data_, data_len_);
    delete[] data_;
  }
  data_ = nullptr;
  owns_data_ = 0;
}

void apdu::set_lc_data(const unsigned char* data, int len) {
  free_data();
  if (len < 0) len = 0;
  if (len > 0 && data) {
    data_ = new unsigned char[len];
    std::memcpy(data_, data, len);
    owns_data_ = 1;
  } else {
    len = 0;
  }
  lc_ = len;
  data_len_ = len;
}

void apdu::set_le(int le) {
  le_ = le;
  // Once a response is held, its length is the size of its buffer: readers
  // and the wipe in the destructor rely on it.
  if (!resp_) resp_len_ = le;
}

apdu* apdu::clone() const { return new apdu(case_, cla_, ins_, p1_, p2_, name_); }

bool apdu::valid() const {
  switch (case_) {
    case APDU_CASE_1:
      return lc_ == 0 && le_ == 0 && data_len_ == 0;
    case APDU_CASE_2E:
      return le_ >= 0 && le_ <= 65536 && data_len_ == 0 && lc_ == 0;
    case APDU_CASE_3E:
      return data_ && data_len_ > 0 && lc_ > 0 && lc_ <= 65535 && le_ == 0 && data_len_ == lc_;
    case APDU_CASE_4E:
      return data_ && data_len_ > 0 && lc_ > 0 && lc_ <= 65535 && le_ >= 0 && le_ <= 65536 &&
             data_len_ == lc_;
    default:
      return false;
  }
}

int apdu::get_length() const {
  switch (case_) {
    case APDU_CASE_1: return 4;
    case APDU_CASE_2E: return 7;
    case APDU_CASE_3E: return lc_ + 7;
    case APDU_CASE_4E: return lc_ + 9;
    default: return 0;
  }
}

int apdu::serialize(unsigned char* buf, int* len) const {
  if (!len) return APDU_ERR_INVALID;
  if (!valid()) return APDU_ERR_INVALID;
  int need = get_length();
  if (!buf) {
    *len = need;
    return APDU_OK;
  }
  if (need > *len) return APDU_ERR_BUFFER;
  buf[0] = cla_;
  buf[1] = ins_;
  buf[2] = p1_;
  buf[3] = p2_;
  int p = 4;
  if (case_ == APDU_CASE_2E) {
    buf[p++] = 0;
    buf[p++] = static_cast<unsigned char>((le_ >> 8) & 0xff);
    buf[p++] = static_cast<unsigned char>(le_ & 0xff);
  } else if (case_ == APDU_CASE_3E || case_ == APDU_CASE_4E) {
    buf[p++] = 0;
    buf[p++] = static_cast<unsigned char>((lc_ >> 8) & 0xff);
    buf[p++] = static_cast<unsigned char>(lc_ & 0xff);
    std::memcpy(buf + p, data_, lc_);
    p += lc_;
    if (case_ == APDU_CASE_4E) {
      buf[p++] = static_cast<unsigned char>((le_ >> 8) & 0xff);
      buf[p++] = static_cast<unsigned char>(le_ & 0xff);
    }
  }
  *len = p;
  return APDU_OK;
}

int apdu::deserialize(const unsigned char* resp, int len) {
  if (!resp || len < 2) return APDU_ERR_RESPONSE;
  sw1_ = resp[len - 2];
  sw2_ = resp[len - 1];
  if (resp_ && resp_len_ > 0) OPENSSL_cleanse(resp_, resp_len_);
  delete[] resp_;
  resp_ = nullptr;
  if (len > 2) {
    resp_ = new unsigned char[len - 2];
    std::memcpy(resp_, resp, len - 2);
  }
  resp_len_ = len - 2;
  return APDU_OK;
}

const unsigned char* apdu::get_response_data(int* len) const {
  if (len) *len = resp_ ? resp_len_ : 0;
  return resp_;
}
