// The per-token transfer record and counters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vtok {

// One entry of a token's transfer record.
struct transfer_entry {
  enum class kind {
    interrupt_out,
    interrupt_in,
    control_out,
    control_in,
    sg_io,          // an SG_IO request (index: sg node; result: SCSI status or -errno)
    claim,
    release,
    open,
    close,
    kernel_driver,  // kernel_driver_active / detach_kernel_driver
    reset,
    raw_command,    // a vendor raw report the HID model took in (bytes: the 64-byte report)
    interleave,     // another client's traffic interrupted a unit of work
  };
  uint64_t time_ms = 0;
  int client = 0;  // client id (in-process: 0)
  kind what = kind::interrupt_out;
  uint8_t endpoint = 0;          // interrupt transfers
  uint8_t request_type = 0;      // control transfers
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;            // control transfers; interface for claim/release/kernel_driver
  unsigned timeout_ms = 0;       // the timeout the client passed
  int result = 0;                // libusb-style result given to the client
  std::vector<uint8_t> bytes;    // data out, or data delivered in; the CDB for sg_io
  std::vector<uint8_t> data;     // sg_io: data-out or data-in bytes
  int sg_direction = 0;          // sg_io: 0 none, 1 to device, 2 from device
  uint32_t dxfer_len = 0;        // sg_io: the caller's data length
  int32_t resid = 0;             // sg_io: the residual count reported
  std::string note;              // interleave: which unit of which client was interrupted
};

const char* to_string(transfer_entry::kind k);

struct token_stats {
  uint64_t apdus = 0;         // command APDUs run through the card OS (chain parts included)
  uint64_t reports_out = 0;   // interrupt OUT reports accepted
  uint64_t reports_in = 0;    // interrupt IN reports delivered
  uint64_t control_out = 0;   // control transfers host to device that succeeded
  uint64_t control_in = 0;    // control transfers device to host that succeeded
  uint64_t sg_commands = 0;
  uint64_t interleaved = 0;   // units of work interrupted by another client
};

// A bounded record: once full, the oldest entries are dropped, so a
// long-running service does not grow without limit.
class transfer_record {
 public:
  explicit transfer_record(size_t capacity = 65536) : capacity_(capacity ? capacity : 1) {}
  void add(transfer_entry e);
  std::vector<transfer_entry> entries() const { return {log_.begin(), log_.end()}; }
  void clear() { log_.clear(); }
  size_t dropped() const { return dropped_; }
  void set_capacity(size_t capacity);

 private:
  size_t capacity_;
  size_t dropped_ = 0;
  std::deque<transfer_entry> log_;
};

}  // namespace vtok
