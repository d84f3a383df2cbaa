#include "token_state.h"

#include <openssl/crypto.h>

#include <nlohmann/json.hpp>

namespace vtok {

nlohmann::json persistent_state::to_json() const {
  return nlohmann::json{{"version", version},
                        {"serial", serial},
                        {"label", label},
                        {"manufacturer", manufacturer},
                        {"firmware_version", firmware_version}};
}

bool persistent_state::from_json(const nlohmann::json& j, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  try {
    if (!j.is_object()) return fail("token state is not a JSON object");
    persistent_state s;
    s.version = j.at("version").get<int>();
    if (s.version != current_version)
      return fail("unsupported token state version " + std::to_string(s.version));
    s.serial = j.at("serial").get<std::string>();
    if (s.serial.empty() || s.serial.size() > 64) return fail("bad serial");
    s.label = j.value("label", s.label);
    if (s.label.size() > 64) return fail("label longer than 64 bytes");
    s.manufacturer = j.value("manufacturer", s.manufacturer);
    if (s.manufacturer.size() > 64) return fail("manufacturer longer than 64 bytes");
    s.firmware_version = j.value("firmware_version", s.firmware_version);
    *this = std::move(s);
    return true;
  } catch (const std::exception& e) {
    return fail(std::string("malformed token state: ") + e.what());
  }
}

void volatile_state::wipe() {
  security.clear();
  if (!last_challenge.empty()) OPENSSL_cleanse(last_challenge.data(), last_challenge.size());
  last_challenge.clear();
  chain_active = false;
  chain_cla = chain_ins = chain_p1 = chain_p2 = 0;
  if (!chain_data.empty()) OPENSSL_cleanse(chain_data.data(), chain_data.size());
  chain_data.clear();
  for (auto& kv : session_keys)
    if (!kv.second.empty()) OPENSSL_cleanse(kv.second.data(), kv.second.size());
  session_keys.clear();
}

}  // namespace vtok
