#include "transport/sg_command.h"

#include <scsi/sg.h>

#include <cstring>

#include "transport/platform.h"

namespace rx {
namespace scsi {

namespace {
constexpr unsigned kDriverSense = 0x08;     // sense data came back: not a failure by itself
constexpr unsigned kDriverStatusMask = 0x0f;
constexpr uint8_t kStatusMask = 0x3e;        // the status byte without reserved bits
}  // namespace

sg_result sg_execute(int fd, const uint8_t* cdb, int cdb_len, sg_dir dir, uint8_t* data,
                     unsigned len, unsigned timeout_ms) {
  sg_result res;
  if (fd < 0 || !cdb || cdb_len < 1 || cdb_len > 16 || (len > 0 && !data)) return res;
  uint8_t cmd[16];
  std::memcpy(cmd, cdb, static_cast<size_t>(cdb_len));

  sg_io_hdr_t hdr;
  std::memset(&hdr, 0, sizeof(hdr));
  hdr.interface_id = 'S';
  hdr.cmdp = cmd;
  hdr.cmd_len = static_cast<unsigned char>(cdb_len);
  hdr.dxfer_direction = dir == sg_dir::to_device     ? SG_DXFER_TO_DEV
                        : dir == sg_dir::from_device ? SG_DXFER_FROM_DEV
                                                     : SG_DXFER_NONE;
  hdr.dxferp = len > 0 ? data : nullptr;
  hdr.dxfer_len = dir == sg_dir::none ? 0 : len;
  hdr.sbp = res.sense;
  hdr.mx_sb_len = kSenseSize;
  hdr.timeout = timeout_ms;

  if (plat::get().sg_io(fd, &hdr) < 0) return res;

  res.sense_len = hdr.sb_len_wr < kSenseSize ? hdr.sb_len_wr : kSenseSize;
  if (hdr.resid < 0 || static_cast<unsigned>(hdr.resid) > hdr.dxfer_len)
    res.transferred = -1;
  else
    res.transferred = static_cast<long>(hdr.dxfer_len) - hdr.resid;

  if ((hdr.status & kStatusMask) != 0 || hdr.masked_status != 0)
    res.status = sg_status::check_condition;
  else if (hdr.host_status != 0 || (hdr.driver_status & kDriverStatusMask & ~kDriverSense) != 0)
    res.status = sg_status::transport_error;
  else
    res.status = sg_status::ok;
  return res;
}

}  // namespace scsi
}  // namespace rx
