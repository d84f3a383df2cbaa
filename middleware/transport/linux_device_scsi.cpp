#include "transport/linux_device_scsi.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "transport/sg_command.h"

using namespace rx;

namespace {
constexpr int kCdbSize = 12;
constexpr uint8_t kVendorOpcode = 0xFE;
constexpr uint8_t kVendorWrite = 0x01;
constexpr uint8_t kVendorRead = 0x02;
constexpr char kSignature[] = "GMCAPIDFS";  // CDB bytes 2-10
constexpr uint8_t kFrameTag = 0x12;
constexpr int kFrameHeader = 3;             // tag, length BE16
constexpr int kMaxCommand = 0xFFFF;         // what the BE16 length can announce
constexpr int kMaxCapacity = 0xFFFF;        // the response length field's range
// Largest pass-through transfer.
constexpr long kMaxRawTransfer = 16L << 20;

void vendor_cdb(uint8_t op, uint8_t* cdb) {
  std::memset(cdb, 0, kCdbSize);
  cdb[0] = kVendorOpcode;
  cdb[1] = op;
  std::memcpy(cdb + 2, kSignature, sizeof(kSignature) - 1);
}
}  // namespace

linux_device_scsi::linux_device_scsi(const char* path) : device_common(path, 120000) {}

linux_device_scsi::~linux_device_scsi() { close(); }

unsigned linux_device_scsi::io_timeout() const {
  return comm_timeout_ > 0 ? static_cast<unsigned>(comm_timeout_) : 0u;
}

int linux_device_scsi::open() {
  close();
  plat::backend& be = plat::get();
  const int fd = be.sg_open(path_, O_RDWR);
  if (fd < 0) return 1;
  fd_ = fd;
  owner_ = &be;
  state_ = DEV_STATE_PRESENT;
  return 0;
}

int linux_device_scsi::close() {
  if (fd_ >= 0) {
    // A descriptor of a backend that is no longer installed is forgotten.
    if (owner_ == &plat::get()) owner_->sg_close(fd_);
  }
  fd_ = kNotOpen;
  owner_ = nullptr;
  return 0;
}

int linux_device_scsi::send_data(const unsigned char* data, int len) {
  if (fd_ < 0) return 1;
  if (len < 0 || len > kMaxCommand || (len > 0 && !data)) return 1;
  std::vector<uint8_t> frame(static_cast<size_t>(kFrameHeader + len));
  frame[0] = kFrameTag;
  frame[1] = static_cast<uint8_t>((len >> 8) & 0xFF);
  frame[2] = static_cast<uint8_t>(len & 0xFF);
  if (len > 0) std::memcpy(frame.data() + kFrameHeader, data, static_cast<size_t>(len));
  uint8_t cdb[kCdbSize];
  vendor_cdb(kVendorWrite, cdb);
  scsi::sg_result r = scsi::sg_execute(fd_, cdb, kCdbSize, scsi::sg_dir::to_device, frame.data(),
                                       static_cast<unsigned>(frame.size()), io_timeout());
  return r.status == scsi::sg_status::ok ? 0 : 1;
}

int linux_device_scsi::receive_data(unsigned char* buf, int* len) {
  if (fd_ < 0) return 1;
  if (!len || *len < 0) return 1;
  const int capacity = *len < kMaxCapacity ? *len : kMaxCapacity;
  std::vector<uint8_t> frame(static_cast<size_t>(capacity + kFrameHeader), 0);
  uint8_t cdb[kCdbSize];
  vendor_cdb(kVendorRead, cdb);
  scsi::sg_result r = scsi::sg_execute(fd_, cdb, kCdbSize, scsi::sg_dir::from_device, frame.data(),
                                       static_cast<unsigned>(frame.size()), io_timeout());
  if (r.status != scsi::sg_status::ok || r.transferred < 0) return 1;
  const long received = r.transferred;
  if (frame[0] != kFrameTag) return 2;
  if (received < 5) return 3;
  const long declared = (static_cast<long>(frame[1]) << 8) | frame[2];
  if (declared >= received - 2) return 4;
  if (declared > capacity || (declared > 0 && !buf)) return 4;
  if (declared > 0) std::memcpy(buf, frame.data() + kFrameHeader, static_cast<size_t>(declared));
  *len = static_cast<int>(declared);
  return 0;
}

int linux_device_scsi::device_io(const unsigned char* cmd, int cmd_len, unsigned char* resp,
                                 int* resp_len) {
  if (send_data(cmd, cmd_len) != 0) return 1;
  if (receive_data(resp, resp_len) != 0) return 2;
  return 0;
}

int linux_device_scsi::scsi_user_cmd_write(uint8_t code, const uint8_t* rest, const uint8_t* data,
                                           long len, uint8_t* sense) {
  if (fd_ < 0 || !rest) return 1;
  if (len < 0 || len > kMaxRawTransfer || (len > 0 && !data)) return 1;
  uint8_t cdb[kCdbSize];
  cdb[0] = code;
  std::memcpy(cdb + 1, rest, kCdbSize - 1);
  // SG_IO takes a non-const buffer even for data-out.
  std::vector<uint8_t> out(data, data + len);
  scsi::sg_result r =
      scsi::sg_execute(fd_, cdb, kCdbSize, len > 0 ? scsi::sg_dir::to_device : scsi::sg_dir::none,
                       out.data(), static_cast<unsigned>(len), io_timeout());
  if (sense) std::memcpy(sense, r.sense, scsi::kSenseSize);
  return r.status == scsi::sg_status::ok ? 0 : 1;
}

int linux_device_scsi::scsi_user_cmd_read(uint8_t code, const uint8_t* rest, uint8_t* buf,
                                          long* len, uint8_t* sense) {
  if (fd_ < 0 || !rest || !len) return 1;
  if (*len < 0 || *len > kMaxRawTransfer || (*len > 0 && !buf)) return 1;
  uint8_t cdb[kCdbSize];
  cdb[0] = code;
  std::memcpy(cdb + 1, rest, kCdbSize - 1);
  scsi::sg_result r =
      scsi::sg_execute(fd_, cdb, kCdbSize, *len > 0 ? scsi::sg_dir::from_device : scsi::sg_dir::none,
                       buf, static_cast<unsigned>(*len), io_timeout());
  if (sense) std::memcpy(sense, r.sense, scsi::kSenseSize);
  if (r.status != scsi::sg_status::ok || r.transferred < 0) return 1;
  *len = r.transferred;
  return 0;
}

int linux_device_scsi::send_raw_data(const unsigned char* cdb, int cdb_len,
                                     const unsigned char* data, long len) {
  if (!cdb || cdb_len < 1) return 1;
  uint8_t rest[kCdbSize - 1] = {0};
  const int n = cdb_len - 1 < kCdbSize - 1 ? cdb_len - 1 : kCdbSize - 1;
  if (n > 0) std::memcpy(rest, cdb + 1, static_cast<size_t>(n));
  return scsi_user_cmd_write(cdb[0], rest, data, len, nullptr);
}

int linux_device_scsi::receive_raw_data(const unsigned char* cdb, int cdb_len, unsigned char* buf,
                                        long* len) {
  if (!cdb || cdb_len < 1) return 1;
  uint8_t rest[kCdbSize - 1] = {0};
  const int n = cdb_len - 1 < kCdbSize - 1 ? cdb_len - 1 : kCdbSize - 1;
  if (n > 0) std::memcpy(rest, cdb + 1, static_cast<size_t>(n));
  return scsi_user_cmd_read(cdb[0], rest, buf, len, nullptr);
}
