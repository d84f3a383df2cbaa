// The SCSI transport: one command goes to the token in a vendor SCSI
// command with a data-out phase (FE 01 "GMCAPIDFS" 00), its response comes
// back with a second one with a data-in phase (FE 02 ...). Every transfer is
// an SG_IO request on the sg node, through rx::plat::get().
#pragma once

#include <cstdint>

#include "transport/device_common.h"
#include "transport/platform.h"

class linux_device_scsi : public device_common {
 public:
  static constexpr int kNotOpen = -1;

  explicit linux_device_scsi(const char* path);
  ~linux_device_scsi() override;

  // 0 (state becomes DEV_STATE_PRESENT) or 1 (the node cannot be opened).
  int open() override;
  int close() override;
  // 0, or 1: not open, command too long, request failed or CHECK CONDITION.
  int send_data(const unsigned char* data, int len) override;
  // `*len` on entry: capacity of `buf`. 0; 1 not open, request failed,
  // CHECK CONDITION or an impossible residual count; 2 tag not 0x12; 3 fewer
  // than 5 bytes; 4 declared length not within the bytes received or above
  // the capacity.
  int receive_data(unsigned char* buf, int* len) override;
  // Vendor pass-through: cdb[0] and the next 11 bytes form the CDB. 0 or 1.
  int send_raw_data(const unsigned char* cdb, int cdb_len, const unsigned char* data,
                    long len) override;
  // `*len` on entry: capacity of `buf`; on success the bytes received.
  int receive_raw_data(const unsigned char* cdb, int cdb_len, unsigned char* buf,
                       long* len) override;
  int device_io(const unsigned char* cmd, int cmd_len, unsigned char* resp, int* resp_len) override;
  int get_device_type() override { return 0; }

  // CDB = code, rest[0..10]. `sense` (kSenseSize bytes) may be null.
  // 0 or 1.
  int scsi_user_cmd_write(uint8_t code, const uint8_t* rest, const uint8_t* data, long len,
                          uint8_t* sense);
  int scsi_user_cmd_read(uint8_t code, const uint8_t* rest, uint8_t* buf, long* len,
                         uint8_t* sense);

  bool is_open() const { return fd_ >= 0; }
  int descriptor() const { return fd_; }

 private:
  unsigned io_timeout() const;

  int fd_ = kNotOpen;                   // descriptor 0 is a valid one
  rx::plat::backend* owner_ = nullptr;  // the backend that opened fd_
};
