#include "interleave_detector.h"

namespace vtok {

const char* to_string(interleave_detector::unit u) {
  switch (u) {
    case interleave_detector::unit::frame: return "frame";
    case interleave_detector::unit::chain: return "chain";
    case interleave_detector::unit::challenge: return "challenge";
  }
  return "unknown";
}

void interleave_detector::begin(unit u, int client) { units_[{u, client}] = state{}; }

void interleave_detector::end(unit u, int client) { units_.erase({u, client}); }

bool interleave_detector::open(unit u, int client) const {
  return units_.count({u, client}) != 0;
}

std::vector<interleave_detector::event> interleave_detector::traffic(int client) {
  std::vector<event> out;
  for (auto& kv : units_) {
    const int owner = kv.first.second;
    if (owner == client) continue;
    state& s = kv.second;
    if (s.interrupted) {
      if (kv.first.first == unit::challenge) s.intruder = client;
      continue;
    }
    s.interrupted = true;
    s.intruder = client;
    if (kv.first.first != unit::challenge) out.push_back({kv.first.first, owner, client});
  }
  return out;
}

bool interleave_detector::command_done(int client, bool used_challenge, event* ev) {
  auto it = units_.find({unit::challenge, client});
  if (it == units_.end()) return false;
  const state s = it->second;
  units_.erase(it);
  if (!used_challenge || !s.interrupted) return false;
  if (ev) *ev = {unit::challenge, client, s.intruder};
  return true;
}

}  // namespace vtok
