#include "transfer_record.h"

#include <utility>

namespace vtok {

const char* to_string(transfer_entry::kind k) {
  switch (k) {
    case transfer_entry::kind::interrupt_out: return "interrupt_out";
    case transfer_entry::kind::interrupt_in: return "interrupt_in";
    case transfer_entry::kind::control_out: return "control_out";
    case transfer_entry::kind::control_in: return "control_in";
    case transfer_entry::kind::sg_io: return "sg_io";
    case transfer_entry::kind::claim: return "claim";
    case transfer_entry::kind::release: return "release";
    case transfer_entry::kind::open: return "open";
    case transfer_entry::kind::close: return "close";
    case transfer_entry::kind::kernel_driver: return "kernel_driver";
    case transfer_entry::kind::reset: return "reset";
    case transfer_entry::kind::raw_command: return "raw_command";
    case transfer_entry::kind::interleave: return "interleave";
  }
  return "unknown";
}

void transfer_record::add(transfer_entry e) {
  while (log_.size() >= capacity_) {
    log_.pop_front();
    ++dropped_;
  }
  log_.push_back(std::move(e));
}

void transfer_record::set_capacity(size_t capacity) {
  capacity_ = capacity ? capacity : 1;
  while (log_.size() > capacity_) {
    log_.pop_front();
    ++dropped_;
  }
}

}  // namespace vtok
