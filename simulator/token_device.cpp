#include "token_device.h"

#include <string>

namespace vtok {

void token_core::note_interleave(const interleave_detector::event& ev) {
  ++stats.interleaved;
  transfer_entry e;
  e.time_ms = clock->now_ms();
  e.client = ev.intruder;
  e.what = transfer_entry::kind::interleave;
  e.note = std::string(to_string(ev.what)) + " of client " + std::to_string(ev.owner) +
           " interrupted by client " + std::to_string(ev.intruder);
  record.add(std::move(e));
}

}  // namespace vtok
