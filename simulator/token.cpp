#include "token.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "hid_token_device.h"
#include "storage_usb_device.h"
#include "usb_descriptors.h"

namespace vtok {

token::token(std::mutex& mu, clock_source& clock, const token_config& cfg, std::string serial)
    : mu_(mu), cfg_(cfg), serial_(std::move(serial)), core_(clock) {
  persistent_state& s = core_.os.persistent();
  s.serial = serial_;
  if (cfg_.label) s.label = cfg_.label->substr(0, persistent_state::label_max);
  if (!cfg_.oem.empty()) {
    constexpr size_t padded = 128;
    const size_t n = std::min(cfg_.oem.size(), persistent_state::oem_size);
    std::fill(s.oem_data.begin(), s.oem_data.begin() + std::max(n, padded), 0);
    std::copy(cfg_.oem.begin(), cfg_.oem.begin() + n, s.oem_data.begin());
  }
  if (cfg_.feature) s.feature_word = *cfg_.feature;
  if (cfg_.pid == 0)
    cfg_.pid = cfg_.transport == transport_kind::scsi ? storage_token_default_pid : token_default_pid;
  if (cfg_.transport == transport_kind::scsi) {
    device_ = std::make_unique<storage_usb_device>(cfg_.vid, cfg_.pid);
    scsi_ = std::make_unique<scsi_target>(scsi_identity{}, /*vendor_channel=*/true);
  } else {
    device_ = std::make_unique<hid_token_device>(cfg_.vid, cfg_.pid,
                                                 cfg_.transport == transport_kind::hidctr);
  }
}

int token::sg_index() const {
  std::lock_guard<std::mutex> lk(mu_);
  return plugged_ && scsi_ ? sg_index_ : -1;
}

int token::bus() const {
  std::lock_guard<std::mutex> lk(mu_);
  return bus_;
}

int token::address() const {
  std::lock_guard<std::mutex> lk(mu_);
  return address_;
}

bool token::plugged() const {
  std::lock_guard<std::mutex> lk(mu_);
  return plugged_;
}

uint64_t token::device_id() const {
  std::lock_guard<std::mutex> lk(mu_);
  return plugged_ ? device_id_ : 0;
}

token_stats token::stats() const {
  std::lock_guard<std::mutex> lk(mu_);
  return core_.stats;
}

void token::reset_stats() {
  std::lock_guard<std::mutex> lk(mu_);
  core_.stats = token_stats{};
}

std::vector<transfer_entry> token::record() const {
  std::lock_guard<std::mutex> lk(mu_);
  return core_.record.entries();
}

void token::clear_record() {
  std::lock_guard<std::mutex> lk(mu_);
  core_.record.clear();
}

void token::arm_fault(const fault_spec& f) {
  std::lock_guard<std::mutex> lk(mu_);
  core_.faults.arm(f);
}

void token::clear_faults() {
  std::lock_guard<std::mutex> lk(mu_);
  core_.faults.clear();
}

nlohmann::json token::save_state() const {
  std::lock_guard<std::mutex> lk(mu_);
  return core_.os.persistent().to_json();
}

bool token::restore_state(const nlohmann::json& j, std::string* error) {
  std::lock_guard<std::mutex> lk(mu_);
  persistent_state s;
  if (!s.from_json(j, error)) return false;
  if (s.serial != serial_) {
    if (error) *error = "state belongs to token " + s.serial + ", not " + serial_;
    return false;
  }
  core_.os.load_persistent(std::move(s));
  return true;
}

bool token::take_state_changed() {
  std::lock_guard<std::mutex> lk(mu_);
  return core_.os.take_state_changed();
}

}  // namespace vtok
