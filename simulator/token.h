// One virtual token known to a bus: plugged, or stored while unplugged.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "scsi_target.h"
#include "token_device.h"

namespace vtok {

enum class transport_kind { hid, hidctr, scsi };

struct token_config {
  transport_kind transport = transport_kind::hid;
  uint16_t vid = 0x7e3b;
  uint16_t pid = 0;    // 0: the transport's usual product id (0xe618 HID, 0xdb08 SCSI)
  int sg_index = -1;   // SCSI tokens: the sg node number; -1: the lowest free one
  int bus = -1;        // -1: bus 1
  int address = -1;    // -1: the next free address on the bus
  std::string serial;  // empty: generated (unique on the bus)
  std::string state;   // JSON of a saved persistent state to restore; empty: a fresh token
  // Settings of a fresh token (a restored state keeps its own):
  std::optional<std::string> label;  // device label, cut to 32 bytes; none: the default
  // OEM data written at offset 0 and zero padded to 128 bytes (the length
  // hosts read), cut to 512 bytes; empty: none (all 0xFF).
  std::vector<uint8_t> oem;
  std::optional<uint16_t> feature;  // feature word (bit 1: fingerprint sensor); none: 1
};

class virtual_bus;

class token {
 public:
  token(const token&) = delete;
  token& operator=(const token&) = delete;

  // Identity (fixed while plugged).
  const std::string& serial() const { return serial_; }
  transport_kind transport() const { return cfg_.transport; }
  uint16_t vid() const { return cfg_.vid; }
  uint16_t pid() const { return cfg_.pid; }
  int bus() const;
  int address() const;
  bool plugged() const;
  // The id of the current plug instance (a new one on every replug; 0 while
  // unplugged); device references of an earlier instance are stale.
  uint64_t device_id() const;

  // The card OS. Not locked: use it while no transfers run, or inside
  // virtual_bus::with_lock().
  card_os& os() { return core_.os; }

  token_stats stats() const;
  void reset_stats();
  std::vector<transfer_entry> record() const;  // the transfer record, oldest first
  void clear_record();
  void arm_fault(const fault_spec& f);
  void clear_faults();

  // The persistent state as JSON (the service saves it after changes), and
  // its restoration (drops the volatile state).
  nlohmann::json save_state() const;
  bool restore_state(const nlohmann::json& j, std::string* error = nullptr);
  // Raised by the card OS after a command changed the persistent state.
  bool take_state_changed();

  // The device model (HID for hid and hidctr tokens, a mass-storage face
  // for scsi tokens). Not locked.
  token_device& device() { return *device_; }
  // The SCSI target of a scsi token (null for the others). Not locked.
  scsi_target* scsi() { return scsi_.get(); }
  // The sg node number of a plugged scsi token, else -1.
  int sg_index() const;

 private:
  friend class virtual_bus;
  token(std::mutex& mu, clock_source& clock, const token_config& cfg, std::string serial);

  std::mutex& mu_;
  token_config cfg_;
  std::string serial_;
  int bus_ = 0;
  int address_ = 0;
  bool plugged_ = false;
  uint64_t device_id_ = 0;
  token_core core_;
  std::unique_ptr<token_device> device_;
  std::unique_ptr<scsi_target> scsi_;
  int sg_index_ = -1;
  std::map<int, bool> kernel_driver_;  // interface -> a kernel driver is bound
  std::map<int, uint32_t> claims_;     // interface -> claiming handle
};

}  // namespace vtok
