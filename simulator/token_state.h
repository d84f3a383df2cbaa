// The virtual token's state, split in two:
//  - persistent_state survives unplugging; the host side saves it (JSON)
//    after every command that changes it;
//  - volatile_state is lost on unplug or reset (security status, the last
//    challenge, a command chain in progress, session keys).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace vtok {

struct persistent_state {
  static constexpr int current_version = 1;

  int version = current_version;
  std::string serial;
  std::string label = "RX7100 virtual token";
  std::string manufacturer = "RX7100";
  uint16_t firmware_version = 0x0100;

  nlohmann::json to_json() const;
  // Replaces *this with the state in `j`; false (and *this untouched) when
  // the document is malformed or of an unknown version.
  bool from_json(const nlohmann::json& j, std::string* error = nullptr);
};

struct volatile_state {
  // Security status per application id (bit set per verified PIN type).
  std::map<uint16_t, uint32_t> security;
  // The random value the token issued last (empty: none).
  std::vector<uint8_t> last_challenge;
  // Command chain in progress.
  bool chain_active = false;
  uint8_t chain_cla = 0, chain_ins = 0, chain_p1 = 0, chain_p2 = 0;
  std::vector<uint8_t> chain_data;
  // Session keys by handle.
  std::map<uint32_t, std::vector<uint8_t>> session_keys;

  void wipe();  // clears and overwrites secrets
};

}  // namespace vtok
