// The virtual token's card operating system: command APDU bytes in,
// response bytes (data, SW1, SW2) out.
//
// Accepted encodings: case 1 (CLA INS P1 P2), 2E (.. 00 Le Le),
// 3E (.. 00 Lc Lc data), 4E (.. 00 Lc Lc data Le Le); anything else is
// answered 6700. Commands are dispatched on (CLA without the chaining bit,
// INS) through a table of handlers; an unregistered pair answers 6D00.
//
// Chaining: a command with CLA bit 0x10 set is accumulated and answered
// 9000; the next part with the bit clear completes it and the handler sees
// all the data. A part whose CLA/INS/P1/P2 differ from the chain's head
// aborts the chain and is answered 6883 without being run. More than
// max_chain_bytes of accumulated data aborts the chain with 6700.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "token_state.h"

namespace vtok {

namespace sw {
constexpr uint16_t ok = 0x9000;
constexpr uint16_t wrong_length = 0x6700;
constexpr uint16_t security_not_satisfied = 0x6982;
constexpr uint16_t auth_blocked = 0x6983;
constexpr uint16_t conditions_not_satisfied = 0x6985;
constexpr uint16_t wrong_data = 0x6A80;
constexpr uint16_t wrong_p1p2 = 0x6A86;
constexpr uint16_t reference_not_found = 0x6A88;
constexpr uint16_t offset_out_of_range = 0x6B00;
constexpr uint16_t retries_left_base = 0x63C0;  // | remaining tries (0..15)
constexpr uint16_t last_command_expected = 0x6883;
constexpr uint16_t ins_not_supported = 0x6D00;
constexpr uint16_t cla_not_supported = 0x6E00;
constexpr uint16_t no_diagnosis = 0x6F00;
}  // namespace sw

constexpr uint8_t cla_chaining_bit = 0x10;

// A parsed command APDU. For a chained command the data is the whole
// accumulated data and the header that of the completing part.
struct command {
  uint8_t cla = 0;  // chaining bit cleared
  uint8_t ins = 0, p1 = 0, p2 = 0;
  int apdu_case = 1;  // 1, 2, 3 or 4 (all but 1 in extended form)
  std::vector<uint8_t> data;
  uint32_t le = 0;       // 1..65536 when has_le (an encoded 0000 means 65536)
  bool has_le = false;
  int client = 0;        // who sent it (for the interleave hooks only)
};

struct response {
  std::vector<uint8_t> data;
  uint16_t sw = sw::ok;

  static response status(uint16_t s) {
    response r;
    r.sw = s;
    return r;
  }
  std::vector<uint8_t> bytes() const;  // data, SW1, SW2
};

// Parses command bytes; false when the encoding is none of the four cases.
// The CLA in *out keeps the chaining bit.
bool parse_command_apdu(const uint8_t* p, size_t n, command* out);

// What one processed APDU did, for the device model's bookkeeping.
struct apdu_outcome {
  enum class chain_step { none, part_accepted, completed, aborted };
  chain_step chain = chain_step::none;
  bool challenge_issued = false;  // the command issued a random value
  bool challenge_used = false;    // the command used the last issued value
  uint8_t ins = 0;
  uint16_t sw = sw::ok;
};

class card_os;
using handler_fn = std::function<response(card_os&, const command&)>;

// A raw vendor pass-through command: the 16-byte command block, the data
// that arrived and the data length the sender declared (a HID raw report
// carries at most 44 data bytes, so the two may differ).
struct raw_command {
  std::array<uint8_t, 16> block{};
  std::vector<uint8_t> data;
  size_t declared_length = 0;
  int client = 0;
  bool complete() const { return declared_length == data.size(); }
};
// The answer's data, or nullopt when the block is no command of the token
// (it is then not answered at all).
using raw_answer = std::optional<std::vector<uint8_t>>;
using raw_handler_fn = std::function<raw_answer(card_os&, const raw_command&)>;

class card_os {
 public:
  static constexpr size_t max_chain_bytes = 65536;

  card_os();
  explicit card_os(persistent_state initial);

  // Runs one command APDU; returns data + SW1 SW2 (always at least 2 bytes).
  std::vector<uint8_t> process(const uint8_t* apdu, size_t n, int client = 0);
  std::vector<uint8_t> process(const std::vector<uint8_t>& apdu, int client = 0) {
    return process(apdu.data(), apdu.size(), client);
  }
  const apdu_outcome& last_outcome() const { return outcome_; }

  // Handler table. Registering an existing (cla, ins) replaces it.
  void register_handler(uint8_t cla, uint8_t ins, handler_fn fn);
  void unregister_handler(uint8_t cla, uint8_t ins);
  bool has_handler(uint8_t cla, uint8_t ins) const;

  // Raw vendor commands, dispatched on the block's bytes 0 and 1.
  raw_answer process_raw(const raw_command& cmd);
  void register_raw_handler(uint8_t b0, uint8_t b1, raw_handler_fn fn);

  persistent_state& persistent() { return persistent_; }
  const persistent_state& persistent() const { return persistent_; }
  volatile_state& volatiles() { return volatile_; }
  const volatile_state& volatiles() const { return volatile_; }

  // Power cycle: the volatile state is dropped, the persistent state kept.
  void reset_volatile() { volatile_.wipe(); }
  // Replaces the persistent state (restoring a saved token); drops the
  // volatile state too.
  void load_persistent(persistent_state s);

  // Handlers call these.
  void mark_persistent_changed() { changed_in_command_ = true; }
  void issue_challenge(std::vector<uint8_t> value);
  // Takes the last issued value (and forgets it: a value serves once).
  std::vector<uint8_t> use_challenge();

  // Called after every command that changed the persistent state, with the
  // new state; the flag stays raised until take_state_changed().
  void set_state_changed_callback(std::function<void(const persistent_state&)> cb) {
    on_changed_ = std::move(cb);
  }
  bool state_changed() const { return changed_; }
  bool take_state_changed() {
    bool c = changed_;
    changed_ = false;
    return c;
  }

 private:
  response run(const command& cmd);
  response dispatch(const command& cmd);
  void report_state_change();

  persistent_state persistent_;
  volatile_state volatile_;
  std::map<std::pair<uint8_t, uint8_t>, handler_fn> handlers_;
  std::map<std::pair<uint8_t, uint8_t>, raw_handler_fn> raw_handlers_;
  apdu_outcome outcome_;
  bool changed_in_command_ = false;
  bool changed_ = false;
  std::function<void(const persistent_state&)> on_changed_;
};

}  // namespace vtok
