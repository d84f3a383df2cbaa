// Helpers of the transport tests: an echo command on the virtual token,
// APDUs of a chosen size, device paths and filters over the transfer record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "card_os.h"
#include "token.h"
#include "transfer_record.h"

namespace vtt {

using bytes = std::vector<uint8_t>;
using kind = vtok::transfer_entry::kind;

constexpr uint8_t kEchoCla = 0x80;
constexpr uint8_t kEchoIns = 0xEE;

// 80 EE: answers its command data followed by 9000.
inline void add_echo(vtok::token& t) {
  t.os().register_handler(kEchoCla, kEchoIns, [](vtok::card_os&, const vtok::command& c) {
    vtok::response r;
    r.data = c.data;
    return r;
  });
}

// A case-3E echo APDU of exactly `total` bytes (at least 8).
inline bytes echo_apdu(int total) {
  bytes a = {kEchoCla, kEchoIns, 0x00, 0x00, 0x00};
  const int n = total - 7;
  a.push_back(static_cast<uint8_t>(n >> 8));
  a.push_back(static_cast<uint8_t>(n));
  for (int i = 0; i < n; ++i) a.push_back(static_cast<uint8_t>(i * 7 + 1));
  return a;
}

// The command data of an echo APDU: what the token echoes.
inline bytes echo_data(const bytes& apdu) { return bytes(apdu.begin() + 7, apdu.end()); }

inline std::string hidctr_path(const vtok::token& t) {
  char p[64];
  std::snprintf(p, sizeof(p), "hidctr_vid_%04x&pid_%04x&addr_%04x", t.vid(), t.pid(), t.address());
  return p;
}

inline std::string sg_path(int index) { return "/dev/sg" + std::to_string(index); }

inline std::vector<vtok::transfer_entry> entries_of(const vtok::token& t, kind k) {
  std::vector<vtok::transfer_entry> out;
  for (const auto& e : t.record())
    if (e.what == k) out.push_back(e);
  return out;
}

}  // namespace vtt
