#include "faults.h"

namespace vtok {

const char* to_string(fault_kind k) {
  switch (k) {
    case fault_kind::claim_busy: return "claim_busy";
    case fault_kind::no_device_mid_frame: return "no_device_mid_frame";
    case fault_kind::read_timeout: return "read_timeout";
    case fault_kind::drop_response: return "drop_response";
    case fault_kind::bad_signature: return "bad_signature";
    case fault_kind::header_length_too_big: return "header_length_too_big";
    case fault_kind::bad_tag: return "bad_tag";
    case fault_kind::declared_length_long: return "declared_length_long";
    case fault_kind::empty_reports: return "empty_reports";
    case fault_kind::force_sw: return "force_sw";
    case fault_kind::control_out_fail: return "control_out_fail";
    case fault_kind::control_in_fail: return "control_in_fail";
    case fault_kind::sg_check_on_write: return "sg_check_on_write";
    case fault_kind::sg_check_on_read: return "sg_check_on_read";
    case fault_kind::sg_wrong_resid: return "sg_wrong_resid";
    case fault_kind::sg_short_frame: return "sg_short_frame";
  }
  return "unknown";
}

bool fault_set::armed(fault_kind k) const {
  for (const auto& f : armed_)
    if (f.kind == k && f.count != 0) return true;
  return false;
}

bool fault_set::take(fault_kind k, fault_spec* out) {
  for (auto it = armed_.begin(); it != armed_.end(); ++it) {
    if (it->kind != k || it->count == 0) continue;
    if (out) *out = *it;
    if (it->count > 0 && --it->count == 0) armed_.erase(it);
    return true;
  }
  return false;
}

bool fault_set::take_force_sw(uint8_t ins, uint16_t* sw) {
  for (auto it = armed_.begin(); it != armed_.end(); ++it) {
    if (it->kind != fault_kind::force_sw || it->count == 0 || (it->param & 0xFF) != ins) continue;
    if (sw) *sw = static_cast<uint16_t>(it->param2);
    if (it->count > 0 && --it->count == 0) armed_.erase(it);
    return true;
  }
  return false;
}

}  // namespace vtok
