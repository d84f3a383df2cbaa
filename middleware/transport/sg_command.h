// One SG_IO request through the platform seam, shared by the SCSI
// discoverer and the SCSI transport.
#pragma once

#include <cstdint>

namespace rx {
namespace scsi {

constexpr int kSenseSize = 255;

enum class sg_dir { none, to_device, from_device };

enum class sg_status {
  ok,               // the command completed with GOOD status
  ioctl_failed,     // the request never reached the device (bad descriptor, device gone)
  check_condition,  // the target answered CHECK CONDITION (or another non-GOOD status)
  transport_error,  // the host adapter or driver reported a failure
};

struct sg_result {
  sg_status status = sg_status::ioctl_failed;
  // Bytes actually moved: dxfer_len less the residual count. -1 when the
  // driver reported a residual count outside 0..dxfer_len.
  long transferred = 0;
  uint8_t sense[kSenseSize] = {0};
  int sense_len = 0;
};

// Issues `cdb` (cdb_len bytes, 1..16) on `fd` with `len` bytes of data
// (`data` may be null only when len is 0) and the timeout in milliseconds.
sg_result sg_execute(int fd, const uint8_t* cdb, int cdb_len, sg_dir dir, uint8_t* data,
                     unsigned len, unsigned timeout_ms);

}  // namespace scsi
}  // namespace rx
