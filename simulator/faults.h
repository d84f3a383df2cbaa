// Faults a test or a script arms on one token.
#pragma once

#include <cstdint>
#include <vector>

namespace vtok {

// Each fault applies to `count` transfers or commands (as stated per kind);
// a negative count keeps it armed until cleared.
enum class fault_kind {
  claim_busy,            // claiming the interface fails with BUSY (per claim)
  no_device_mid_frame,   // an OUT report that continues a frame fails with NO_DEVICE and the
                         // partial frame is dropped (per transfer)
  read_timeout,          // IN transfers time out; queued reports stay queued (per transfer)
  drop_response,         // the response to a command is never delivered (per command)
  bad_signature,         // response frame without 0xAA in bytes 0 and 1 (per command)
  header_length_too_big, // response header length (bytes 2-3) of 1077 (per command)
  bad_tag,               // response byte 20 is 0x13 instead of 0x12 (per command)
  declared_length_long,  // bytes 21-22 declare `param` (default 64) more bytes than sent (per command)
  empty_reports,         // `param` empty reports before the answer (per command)
  force_sw,              // a command with INS == param answers SW `param2` without running (per command)
  // HID control channel (hidctr tokens):
  control_out_fail,      // SET_REPORT stalls (USB_ERROR_PIPE); the report is not taken (per transfer)
  control_in_fail,       // GET_REPORT stalls (USB_ERROR_PIPE); nothing is dequeued (per transfer)
  // SCSI (scsi tokens); bad_tag, declared_length_long, drop_response and
  // force_sw apply to the SCSI response frame as well:
  sg_check_on_write,     // the vendor write ends in CHECK CONDITION, the command is not run (per command)
  sg_check_on_read,      // the vendor read ends in CHECK CONDITION, the answer stays pending (per command)
  sg_wrong_resid,        // the vendor read reports the residual count (int32_t)`param` (per command)
  sg_short_frame,        // the vendor read delivers only the first `param` bytes (default 4) (per command)
};

struct fault_spec {
  fault_kind kind = fault_kind::read_timeout;
  int count = 1;
  uint32_t param = 0;
  uint32_t param2 = 0;
};

const char* to_string(fault_kind k);

// The armed faults of one token.
class fault_set {
 public:
  void arm(const fault_spec& f) { armed_.push_back(f); }
  void clear() { armed_.clear(); }
  bool armed(fault_kind k) const;
  // Consumes one use of the first armed fault of this kind; returns it in
  // *out when given. A force_sw fault is taken only when `ins` matches.
  bool take(fault_kind k, fault_spec* out = nullptr);
  bool take_force_sw(uint8_t ins, uint16_t* sw);

 private:
  std::vector<fault_spec> armed_;
};

}  // namespace vtok
