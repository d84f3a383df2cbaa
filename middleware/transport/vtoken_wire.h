// Message framing and field codec of the virtual token service protocol
// (docs/vtoken-protocol.md), used by both ends: the client backend of the
// library and the service. Every message is a little-endian u32 length and
// that many body bytes; readers check every length against a bound before
// they allocate or copy, since either peer is untrusted.
// Header-only, so the service uses it without linking the middleware.
#pragma once

#include <unistd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rx {
namespace vtoken_wire {

constexpr uint32_t protocol_magic = 0x54565852;  // "RXVT"
constexpr uint16_t protocol_version = 1;

// Bounds both ends apply to the fields of a request.
constexpr uint32_t max_usb_data = 4096;
constexpr uint32_t max_sg_data = 65536;
constexpr uint32_t max_cdb = 16;
constexpr uint32_t max_sense = 255;
constexpr uint32_t max_sg_path = 4096;

enum op : uint8_t {
  op_hello = 0x01,
  op_device_list = 0x10,
  op_config_descriptor = 0x11,
  op_open = 0x12,
  op_close = 0x13,
  op_kernel_driver_active = 0x14,
  op_detach_kernel_driver = 0x15,
  op_claim_interface = 0x16,
  op_release_interface = 0x17,
  op_reset_device = 0x18,
  op_interrupt_transfer = 0x19,
  op_control_transfer = 0x1A,
  op_device_count = 0x20,
  op_sg_node_exists = 0x30,
  op_sg_open = 0x31,
  op_sg_io = 0x32,
  op_sg_close = 0x33,
  op_control = 0x40,
};

// Appends little-endian fields to a message body.
class writer {
 public:
  writer& u8(uint8_t v) {
    buf_.push_back(v);
    return *this;
  }
  writer& u16(uint16_t v) {
    buf_.push_back(static_cast<uint8_t>(v));
    buf_.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
  }
  writer& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  writer& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
  writer& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  // u32 length then the bytes.
  writer& bytes(const uint8_t* p, size_t n) {
    u32(static_cast<uint32_t>(n));
    return raw(p, n);
  }
  writer& bytes(const std::vector<uint8_t>& v) { return bytes(v.data(), v.size()); }
  writer& str(const std::string& s) {
    return bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  // Raw bytes without a length.
  writer& raw(const uint8_t* p, size_t n) {
    if (n) buf_.insert(buf_.end(), p, p + n);
    return *this;
  }

  const std::vector<uint8_t>& body() const { return buf_; }
  std::vector<uint8_t>& body() { return buf_; }

 private:
  std::vector<uint8_t> buf_;
};

// Reads fields from a received body. Any read past the end, or a length
// above the caller's bound, puts the reader into the failed state; later
// reads then fail too, so a decoder can check ok() once at the end.
class reader {
 public:
  reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  explicit reader(const std::vector<uint8_t>& v) : reader(v.data(), v.size()) {}

  bool u8(uint8_t* v) {
    const uint8_t* q;
    if (!take(1, &q)) return false;
    *v = q[0];
    return true;
  }
  bool u16(uint16_t* v) {
    const uint8_t* q;
    if (!take(2, &q)) return false;
    *v = static_cast<uint16_t>(q[0] | (q[1] << 8));
    return true;
  }
  bool u32(uint32_t* v) {
    const uint8_t* q;
    if (!take(4, &q)) return false;
    *v = 0;
    for (int i = 3; i >= 0; --i) *v = (*v << 8) | q[i];
    return true;
  }
  bool i32(int32_t* v) {
    uint32_t u;
    if (!u32(&u)) return false;
    *v = static_cast<int32_t>(u);
    return true;
  }
  bool u64(uint64_t* v) {
    const uint8_t* q;
    if (!take(8, &q)) return false;
    *v = 0;
    for (int i = 7; i >= 0; --i) *v = (*v << 8) | q[i];
    return true;
  }
  // u32 length (at most `max`) then the bytes.
  bool bytes(std::vector<uint8_t>* v, uint32_t max) {
    uint32_t n;
    if (!u32(&n)) return false;
    if (n > max) return fail();
    const uint8_t* q;
    if (!take(n, &q)) return false;
    v->assign(q, q + n);
    return true;
  }
  bool str(std::string* s, uint32_t max) {
    std::vector<uint8_t> v;
    if (!bytes(&v, max)) return false;
    s->assign(v.begin(), v.end());
    return true;
  }
  // The rest of the body, at most `max` bytes.
  bool rest(std::vector<uint8_t>* v, uint32_t max) {
    size_t n = remaining();
    if (!ok_ || n > max) return fail();
    const uint8_t* q;
    if (!take(n, &q)) return false;
    v->assign(q, q + n);
    return true;
  }

  bool ok() const { return ok_; }
  // Everything read and nothing left over.
  bool done() const { return ok_ && pos_ == n_; }
  size_t remaining() const { return ok_ ? n_ - pos_ : 0; }

 private:
  bool take(size_t n, const uint8_t** out) {
    if (!ok_ || n > n_ - pos_) return fail();
    *out = p_ + pos_;
    pos_ += n;
    return true;
  }
  bool fail() {
    ok_ = false;
    return false;
  }
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool ok_ = true;
};

enum class read_status { ok, closed, truncated, too_long, too_short, io_error };

inline const char* describe(read_status s) {
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

namespace detail {
// 1: all read; 0: EOF before the first byte; -1: EOF part way; -2: error.
inline int read_full(int fd, uint8_t* p, size_t n) {
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
}  // namespace detail

// Reads one whole message whose body is min_body..max_body bytes. `closed`
// only when the peer closed cleanly before the first byte of the length.
inline read_status read_message(int fd, uint32_t min_body, uint32_t max_body,
                                std::vector<uint8_t>* body) {
  uint8_t hdr[4];
  int r = detail::read_full(fd, hdr, sizeof hdr);
  if (r == 0) return read_status::closed;
  if (r == -1) return read_status::truncated;
  if (r < 0) return read_status::io_error;
  uint32_t n = static_cast<uint32_t>(hdr[0]) | (static_cast<uint32_t>(hdr[1]) << 8) |
               (static_cast<uint32_t>(hdr[2]) << 16) | (static_cast<uint32_t>(hdr[3]) << 24);
  if (n > max_body) return read_status::too_long;
  if (n < min_body) return read_status::too_short;
  body->assign(n, 0);
  r = detail::read_full(fd, body->data(), n);
  if (r == 1) return read_status::ok;
  if (r == -2) return read_status::io_error;
  return n == 0 ? read_status::ok : read_status::truncated;
}

// Writes one whole message; false when the peer is gone.
inline bool write_message(int fd, const std::vector<uint8_t>& body) {
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

}  // namespace vtoken_wire
}  // namespace rx
