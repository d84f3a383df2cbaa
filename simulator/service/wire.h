// Message framing and field codec of the virtual token service protocol
// (docs/vtoken-protocol.md). Every message is a little-endian u32 length and
// that many body bytes; readers check every length against a bound before
// they allocate or copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vtok {
namespace svc {

constexpr uint32_t protocol_magic = 0x54565852;  // "RXVT"
constexpr uint16_t protocol_version = 1;

constexpr uint32_t max_request_body = 73728;
constexpr uint32_t max_response_body = 16u * 1024 * 1024;
constexpr uint32_t max_usb_data = 4096;
constexpr uint32_t max_sg_data = 65536;
constexpr uint32_t max_cdb = 16;
constexpr uint32_t max_sense = 255;
constexpr uint32_t max_sg_path = 4096;
constexpr uint32_t max_control_text = 65536;
constexpr size_t max_handles_per_client = 256;
constexpr size_t max_connections = 512;

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
  writer& u8(uint8_t v);
  writer& u16(uint16_t v);
  writer& u32(uint32_t v);
  writer& i32(int32_t v);
  writer& u64(uint64_t v);
  // u32 length then the bytes.
  writer& bytes(const uint8_t* p, size_t n);
  writer& bytes(const std::vector<uint8_t>& v) { return bytes(v.data(), v.size()); }
  writer& str(const std::string& s);
  // Raw bytes without a length.
  writer& raw(const uint8_t* p, size_t n);

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

  bool u8(uint8_t* v);
  bool u16(uint16_t* v);
  bool u32(uint32_t* v);
  bool i32(int32_t* v);
  bool u64(uint64_t* v);
  bool bytes(std::vector<uint8_t>* v, uint32_t max);
  bool str(std::string* s, uint32_t max);
  // The rest of the body, at most `max` bytes.
  bool rest(std::vector<uint8_t>* v, uint32_t max);

  bool ok() const { return ok_; }
  // Everything read and nothing left over.
  bool done() const { return ok_ && pos_ == n_; }
  size_t remaining() const { return ok_ ? n_ - pos_ : 0; }

 private:
  bool take(size_t n, const uint8_t** out);
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool ok_ = true;
};

enum class read_status { ok, closed, truncated, too_long, too_short, io_error };
const char* describe(read_status s);

// Reads one whole message. `closed` only when the peer closed cleanly before
// the first byte of the length.
read_status read_message(int fd, uint32_t min_body, uint32_t max_body, std::vector<uint8_t>* body);
// Writes one whole message; false when the peer is gone.
bool write_message(int fd, const std::vector<uint8_t>& body);

}  // namespace svc
}  // namespace vtok
