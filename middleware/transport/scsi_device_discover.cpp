#include "transport/scsi_device_discover.h"

#include <fcntl.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "transport/platform.h"
#include "transport/sg_command.h"

using namespace rx;

namespace {
// Standard INQUIRY, 6-byte CDB (INQUIRY is a group 0 command), allocation
// length 255; data-in buffer of 512 bytes.
constexpr uint8_t kInquiry[6] = {0x12, 0x00, 0x00, 0x00, 0xFF, 0x00};
constexpr unsigned kInquiryBuffer = 512;
constexpr unsigned kInquiryTimeoutMs = 20000;
constexpr int kProductOffset = 16;
constexpr int kProductLength = 16;
}  // namespace

int scsi_device_discover::get_sg_device_number() {
  plat::backend& be = plat::get();
  int n = 0;
  while (n < kMaxSgNodes && be.sg_node_exists(n)) ++n;
  return n;
}

int scsi_device_discover::pos_inquiry_identify(int fd, const char* prefix) {
  uint8_t data[kInquiryBuffer] = {0};
  scsi::sg_result r = scsi::sg_execute(fd, kInquiry, sizeof(kInquiry), scsi::sg_dir::from_device,
                                       data, sizeof(data), kInquiryTimeoutMs);
  if (r.status == scsi::sg_status::ioctl_failed) return 1;
  if (r.status != scsi::sg_status::ok) return 2;
  if (r.transferred < kProductOffset + kProductLength) return 3;

  const size_t plen = prefix ? strnlen(prefix, kCriteriaMax) : 0;
  if (plen == 0 || plen > static_cast<size_t>(kProductLength)) return 4;
  for (size_t i = 0; i < plen; ++i) {
    const unsigned char c = data[kProductOffset + i];
    if (std::tolower(c) != static_cast<unsigned char>(prefix[i])) return 4;
  }
  return 0;
}

int scsi_device_discover::discover_devices(const char* prefix, char (*names)[kNameLen],
                                           int capacity) {
  if (!prefix || !*prefix || !names || capacity <= 0) return 0;
  plat::backend& be = plat::get();
  const int nodes = get_sg_device_number();
  int found = 0;
  for (int i = 0; i < nodes && found < capacity; ++i) {
    char path[32];
    std::snprintf(path, sizeof(path), "/dev/sg%d", i);
    const int fd = be.sg_open(path, O_RDONLY);
    if (fd < 0) continue;  // every descriptor >= 0 is valid, 0 included
    if (pos_inquiry_identify(fd, prefix) == 0) {
      std::snprintf(names[found], kNameLen, "%s", path);
      ++found;
    }
    be.sg_close(fd);
  }
  return found;
}

int scsi_device_discover::discover_cd_devices(const char* prefix, char (*names)[kNameLen],
                                              int capacity) {
  return discover_devices(prefix, names, capacity);
}
