#include "apdu_runner.h"

namespace vtok {

std::vector<uint8_t> run_command_apdu(device_context& ctx, chain_tracker& chain, const uint8_t* cmd,
                                      size_t n, size_t max_answer) {
  token_core& core = ctx.core;
  ++core.stats.apdus;
  std::vector<uint8_t> answer;
  uint16_t forced = 0;
  if (n >= 2 && core.faults.take_force_sw(cmd[1], &forced)) {
    answer = {static_cast<uint8_t>(forced >> 8), static_cast<uint8_t>(forced & 0xFF)};
  } else {
    answer = core.os.process(cmd, n, ctx.client);
    const apdu_outcome& o = core.os.last_outcome();
    using step = apdu_outcome::chain_step;
    if (o.chain == step::part_accepted && !chain.open) {
      chain.open = true;
      chain.client = ctx.client;
      core.detector.begin(interleave_detector::unit::chain, ctx.client);
    } else if ((o.chain == step::completed || o.chain == step::aborted) && chain.open) {
      chain.open = false;
      core.detector.end(interleave_detector::unit::chain, chain.client);
    }
    interleave_detector::event ev{};
    if (core.detector.command_done(ctx.client, o.challenge_used, &ev)) core.note_interleave(ev);
    if (o.challenge_issued) core.detector.begin(interleave_detector::unit::challenge, ctx.client);
  }
  if (answer.size() > max_answer)
    answer = {static_cast<uint8_t>(sw::wrong_length >> 8), static_cast<uint8_t>(sw::wrong_length)};
  return answer;
}

}  // namespace vtok
