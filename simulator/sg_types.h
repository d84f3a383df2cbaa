// The bus-level form of an SG_IO request on a virtual sg node: plain
// values and buffers, so that the in-process backend and the service can
// both carry it (the kernel's sg_io_hdr holds pointers).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vtok {

struct sg_node_info {
  int index = 0;        // "/dev/sg<index>"
  bool is_token = false;
  std::string serial;   // tokens
  std::string vendor;   // INQUIRY vendor and product identification
  std::string product;
};

struct sg_request {
  int direction = 0;              // 0 none, 1 to device, 2 from device
  std::vector<uint8_t> cdb;       // 1 to 16 bytes
  std::vector<uint8_t> data_out;  // direction 1
  uint32_t dxfer_len = 0;         // the caller's data length (both directions)
  unsigned timeout_ms = 0;
  uint8_t mx_sb_len = 0;          // sense buffer size
};

struct sg_reply {
  std::vector<uint8_t> data_in;   // direction 2: bytes delivered (at most dxfer_len)
  int32_t resid = 0;              // dxfer_len less the bytes moved (a fault may falsify it)
  uint8_t status = 0;             // SCSI status byte
  uint8_t masked_status = 0;      // status >> 1
  uint16_t host_status = 0;
  uint16_t driver_status = 0;     // 0x08 (DRIVER_SENSE) when sense data came back
  std::vector<uint8_t> sense;     // at most mx_sb_len bytes
  uint32_t info = 0;              // SG_INFO_CHECK (1) when any status is non-zero
};

// Largest data transfer one request may ask for.
constexpr uint32_t sg_max_transfer = 16u << 20;
// Largest sg node number the bus hands out.
constexpr int sg_max_index = 255;

}  // namespace vtok
