#include "card_os.h"

#include <openssl/crypto.h>

#include <exception>

#include "commands/commands.h"

namespace vtok {

std::vector<uint8_t> response::bytes() const {
  std::vector<uint8_t> out;
  out.reserve(data.size() + 2);
  out.insert(out.end(), data.begin(), data.end());
  out.push_back(static_cast<uint8_t>(sw >> 8));
  out.push_back(static_cast<uint8_t>(sw & 0xFF));
  return out;
}

bool parse_command_apdu(const uint8_t* p, size_t n, command* out) {
  if (!p || !out || n < 4) return false;
  command c;
  c.cla = p[0];
  c.ins = p[1];
  c.p1 = p[2];
  c.p2 = p[3];
  if (n == 4) {
    c.apdu_case = 1;
    *out = std::move(c);
    return true;
  }
  if (n < 7 || p[4] != 0) return false;
  const size_t f = (static_cast<size_t>(p[5]) << 8) | p[6];
  if (n == 7) {  // case 2E: the field is Le
    c.apdu_case = 2;
    c.has_le = true;
    c.le = f ? static_cast<uint32_t>(f) : 65536u;
    *out = std::move(c);
    return true;
  }
  const size_t lc = f;
  if (lc == 0) return false;
  if (n == 7 + lc) {
    c.apdu_case = 3;
  } else if (n == 9 + lc) {
    c.apdu_case = 4;
    const size_t le = (static_cast<size_t>(p[7 + lc]) << 8) | p[8 + lc];
    c.has_le = true;
    c.le = le ? static_cast<uint32_t>(le) : 65536u;
  } else {
    return false;
  }
  c.data.assign(p + 7, p + 7 + lc);
  *out = std::move(c);
  return true;
}

card_os::card_os() : card_os(persistent_state{}) {}

card_os::card_os(persistent_state initial) : persistent_(std::move(initial)) {
  register_standard_commands(*this);
}

void card_os::register_handler(uint8_t cla, uint8_t ins, handler_fn fn) {
  handlers_[{static_cast<uint8_t>(cla & ~cla_chaining_bit), ins}] = std::move(fn);
}

void card_os::unregister_handler(uint8_t cla, uint8_t ins) {
  handlers_.erase({static_cast<uint8_t>(cla & ~cla_chaining_bit), ins});
}

bool card_os::has_handler(uint8_t cla, uint8_t ins) const {
  return handlers_.count({static_cast<uint8_t>(cla & ~cla_chaining_bit), ins}) != 0;
}

void card_os::load_persistent(persistent_state s) {
  persistent_ = std::move(s);
  volatile_.wipe();
}

void card_os::issue_challenge(std::vector<uint8_t> value) {
  if (!volatile_.last_challenge.empty())
    OPENSSL_cleanse(volatile_.last_challenge.data(), volatile_.last_challenge.size());
  volatile_.last_challenge = std::move(value);
  outcome_.challenge_issued = true;
}

std::vector<uint8_t> card_os::use_challenge() {
  outcome_.challenge_used = true;
  std::vector<uint8_t> v;
  v.swap(volatile_.last_challenge);
  return v;
}

std::vector<uint8_t> card_os::process(const uint8_t* apdu, size_t n, int client) {
  outcome_ = apdu_outcome{};
  changed_in_command_ = false;
  command cmd;
  response rsp;
  if (!parse_command_apdu(apdu, n, &cmd)) {
    rsp = response::status(sw::wrong_length);
    if (n >= 2) outcome_.ins = apdu[1];
  } else {
    cmd.client = client;
    outcome_.ins = cmd.ins;
    rsp = run(cmd);
  }
  outcome_.sw = rsp.sw;
  report_state_change();
  return rsp.bytes();
}

void card_os::report_state_change() {
  if (!changed_in_command_) return;
  changed_in_command_ = false;
  changed_ = true;
  if (on_changed_) on_changed_(persistent_);
}

void card_os::register_raw_handler(uint8_t b0, uint8_t b1, raw_handler_fn fn) {
  raw_handlers_[{b0, b1}] = std::move(fn);
}

raw_answer card_os::process_raw(const raw_command& cmd) {
  changed_in_command_ = false;
  auto it = raw_handlers_.find({cmd.block[0], cmd.block[1]});
  if (it == raw_handlers_.end()) return std::nullopt;
  raw_answer a;
  try {
    a = it->second(*this, cmd);
  } catch (const std::exception&) {
    a = std::nullopt;  // as for an unknown block: no answer
  }
  report_state_change();
  return a;
}

response card_os::run(const command& in) {
  volatile_state& v = volatile_;
  const bool more = (in.cla & cla_chaining_bit) != 0;
  const uint8_t cla = static_cast<uint8_t>(in.cla & ~cla_chaining_bit);

  auto abort_chain = [&](uint16_t status) {
    if (!v.chain_data.empty()) OPENSSL_cleanse(v.chain_data.data(), v.chain_data.size());
    v.chain_data.clear();
    v.chain_active = false;
    outcome_.chain = apdu_outcome::chain_step::aborted;
    return response::status(status);
  };

  if (v.chain_active) {
    if (cla != v.chain_cla || in.ins != v.chain_ins || in.p1 != v.chain_p1 || in.p2 != v.chain_p2)
      return abort_chain(sw::last_command_expected);
    if (v.chain_data.size() + in.data.size() > max_chain_bytes) return abort_chain(sw::wrong_length);
    v.chain_data.insert(v.chain_data.end(), in.data.begin(), in.data.end());
    if (more) {
      outcome_.chain = apdu_outcome::chain_step::part_accepted;
      return response::status(sw::ok);
    }
    command whole = in;
    whole.cla = cla;
    whole.data.swap(v.chain_data);
    v.chain_active = false;
    v.chain_data.clear();
    if (!whole.data.empty() && whole.apdu_case < 3) whole.apdu_case = whole.has_le ? 4 : 3;
    outcome_.chain = apdu_outcome::chain_step::completed;
    response r = dispatch(whole);
    OPENSSL_cleanse(whole.data.data(), whole.data.size());
    return r;
  }

  if (more) {
    if (!has_handler(cla, in.ins)) return response::status(sw::ins_not_supported);
    if (in.data.size() > max_chain_bytes) return response::status(sw::wrong_length);
    v.chain_active = true;
    v.chain_cla = cla;
    v.chain_ins = in.ins;
    v.chain_p1 = in.p1;
    v.chain_p2 = in.p2;
    v.chain_data = in.data;
    outcome_.chain = apdu_outcome::chain_step::part_accepted;
    return response::status(sw::ok);
  }

  command plain = in;
  plain.cla = cla;
  return dispatch(plain);
}

response card_os::dispatch(const command& cmd) {
  auto it = handlers_.find({cmd.cla, cmd.ins});
  if (it == handlers_.end()) return response::status(sw::ins_not_supported);
  try {
    return it->second(*this, cmd);
  } catch (const std::exception&) {
    // A handler fault must not take the device model down; the host sees
    // an undiagnosed failure.
    return response::status(sw::no_diagnosis);
  }
}

}  // namespace vtok
