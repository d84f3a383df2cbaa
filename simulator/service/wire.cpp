#include "service/wire.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace vtok {
namespace svc {

writer& writer::u8(uint8_t v) {
  buf_.push_back(v);
  return *this;
}
writer& writer::u16(uint16_t v) {
  buf_.push_back(static_cast<uint8_t>(v));
  buf_.push_back(static_cast<uint8_t>(v >> 8));
  return *this;
}
writer& writer::u32(uint32_t v) {
  for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return *this;
}
writer& writer::i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
writer& writer::u64(uint64_t v) {
  for (int i = 0; i < 8; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return *this;
}
writer& writer::bytes(const uint8_t* p, size_t n) {
  u32(static_cast<uint32_t>(n));
  return raw(p, n);
}
writer& writer::str(const std::string& s) {
  return bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
writer& writer::raw(const uint8_t* p, size_t n) {
  if (n) buf_.insert(buf_.end(), p, p + n);
  return *this;
}

bool reader::take(size_t n, const uint8_t** out) {
  if (!ok_ || n > n_ - pos_) {
    ok_ = false;
    return false;
  }
  *out = p_ + pos_;
  pos_ += n;
  return true;
}
bool reader::u8(uint8_t* v) {
  const uint8_t* q;
  if (!take(1, &q)) return false;
  *v = q[0];
  return true;
}
bool reader::u16(uint16_t* v) {
  const uint8_t* q;
  if (!take(2, &q)) return false;
  *v = static_cast<uint16_t>(q[0] | (q[1] << 8));
  return true;
}
bool reader::u32(uint32_t* v) {
  const uint8_t* q;
  if (!take(4, &q)) return false;
  *v = 0;
  for (int i = 3; i >= 0; --i) *v = (*v << 8) | q[i];
  return true;
}
bool reader::i32(int32_t* v) {
  uint32_t u;
  if (!u32(&u)) return false;
  *v = static_cast<int32_t>(u);
  return true;
}
bool reader::u64(uint64_t* v) {
  const uint8_t* q;
  if (!take(8, &q)) return false;
  *v = 0;
  for (int i = 7; i >= 0; --i) *v = (*v << 8) | q[i];
  return true;
}
bool reader::bytes(std::vector<uint8_t>* v, uint32_t max) {
  uint32_t n;
  if (!u32(&n)) return false;
  if (n > max) {
    ok_ = false;
    return false;
  }
  const uint8_t* q;
  if (!take(n, &q)) return false;
  v->assign(q, q + n);
  return true;
}
bool reader::str(std::string* s, uint32_t max) {
  std::vector<uint8_t> v;
  if (!bytes(&v, max)) return false;
  s->assign(v.begin(), v.end());
  return true;
}
bool reader::rest(std::vector<uint8_t>* v, uint32_t max) {
  size_t n = remaining();
  if (!ok_ || n > max) {
    ok_ = false;
    return false;
  }
  const uint8_t* q;
  if (!take(n, &q)) return false;
  v->assign(q, q + n);
  return true;
}

const char* describe(read_status s) {
  switch (s) {
    case read_status::ok: return "ok";
    case read_status::closed: return "peer closed the connection";
    case read_status::truncated: return "truncated message";
    case read_status::too_long: return "message length above the bound";
    case read_status::too_short: return "message length below the minimum";
    case read_status::io_error: return "socket error";
  }
  return "?";
}

namespace {
// 1: all read; 0: EOF before the first byte; -1: EOF part way; -2: error.
int read_full(int fd, uint8_t* p, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -2;
    }
    if (r == 0) return got == 0 ? 0 : -1;
    got += static_cast<size_t>(r);
  }
  return 1;
}
}  // namespace

read_status read_message(int fd, uint32_t min_body, uint32_t max_body, std::vector<uint8_t>* body) {
  uint8_t hdr[4];
  int r = read_full(fd, hdr, sizeof hdr);
  if (r == 0) return read_status::closed;
  if (r == -1) return read_status::truncated;
  if (r < 0) return read_status::io_error;
  uint32_t n = static_cast<uint32_t>(hdr[0]) | (static_cast<uint32_t>(hdr[1]) << 8) |
               (static_cast<uint32_t>(hdr[2]) << 16) | (static_cast<uint32_t>(hdr[3]) << 24);
  if (n > max_body) return read_status::too_long;
  if (n < min_body) return read_status::too_short;
  body->assign(n, 0);
  r = read_full(fd, body->data(), n);
  if (r == 1) return read_status::ok;
  if (r == -2) return read_status::io_error;
  return n == 0 ? read_status::ok : read_status::truncated;
}

bool write_message(int fd, const std::vector<uint8_t>& body) {
  if (body.size() > 0xFFFFFFFFu) return false;
  std::vector<uint8_t> msg;
  msg.reserve(body.size() + 4);
  uint32_t n = static_cast<uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) msg.push_back(static_cast<uint8_t>(n >> (8 * i)));
  msg.insert(msg.end(), body.begin(), body.end());
  size_t sent = 0;
  while (sent < msg.size()) {
    ssize_t w = ::send(fd, msg.data() + sent, msg.size() - sent, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<size_t>(w);
  }
  return true;
}

}  // namespace svc
}  // namespace vtok
