// Durable storage of the tokens a service directory holds: one JSON file per
// token with its USB identity, its transport, whether it was plugged, and
// the card OS's persistent state. Every save is atomic (temporary file,
// fsync, rename, fsync of the directory), so a crash at any moment leaves
// either the previous or the new file, never a torn one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vtok {
namespace svc {

struct stored_token {
  std::string serial;
  std::string transport = "hid";  // "hid", "hidctr" or "scsi"
  uint16_t vid = 0;
  uint16_t pid = 0;
  int bus = -1;
  int address = -1;
  bool plugged = false;
  nlohmann::json os_state;  // the card OS's persistent part
};

// Longest serial a token may have.
constexpr size_t max_serial_length = 64;
// Largest token file the loader accepts.
constexpr size_t max_token_file = 8u * 1024 * 1024;

class token_store {
 public:
  explicit token_store(std::string dir);

  // "token-" + the serial with every byte outside [A-Za-z0-9.-] written as
  // "_XX" (hex), + ".json": a one-to-one, path-safe name.
  static std::string file_name_for(const std::string& serial);
  static bool valid_serial(const std::string& serial);

  // Writes the token's file atomically. false and a message on failure.
  bool save(const stored_token& t, std::string* error) const;
  // Reads every token file; unreadable or invalid files are skipped with a
  // message in `problems`. Leftover temporary files are removed.
  std::vector<stored_token> load_all(std::vector<std::string>* problems) const;

  static nlohmann::json to_json(const stored_token& t);
  static bool from_json(const nlohmann::json& j, stored_token* t, std::string* error);

  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace svc
}  // namespace vtok
