// Runs one command APDU through a token's card OS with the bookkeeping a
// device model owes the token: the APDU counter, forced status words
// (fault force_sw) and the chain and challenge units of the interleave
// detector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "token_device.h"

namespace vtok {

// The chained command in progress on one device model.
struct chain_tracker {
  bool open = false;
  int client = 0;
};

// Returns data + SW1 SW2. An answer longer than `max_answer` bytes (what
// one response frame of the device model can carry) is replaced by 6700.
std::vector<uint8_t> run_command_apdu(device_context& ctx, chain_tracker& chain, const uint8_t* cmd,
                                      size_t n, size_t max_answer);

}  // namespace vtok
