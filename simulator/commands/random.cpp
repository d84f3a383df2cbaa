// GenRandom: CLA 80 INS 50, P1 00 (random bytes) or 01 (remote unblock
// request challenge), P2 00, case 2E with Le = the number of bytes wanted.
// Le must be 1..max_random_bytes; Le 0000 (65536) or more than the limit is
// answered 6700. The bytes become the token's last challenge.
#include <openssl/rand.h>

#include "card_os.h"
#include "commands/commands.h"

namespace vtok {

namespace {
constexpr uint32_t max_random_bytes = 1024;

response gen_random(card_os& os, const command& cmd) {
  if (cmd.p1 > 1 || cmd.p2 != 0) return response::status(sw::wrong_p1p2);
  if (cmd.apdu_case != 2 || !cmd.has_le || cmd.le == 0 || cmd.le > max_random_bytes)
    return response::status(sw::wrong_length);
  response r;
  r.data.resize(cmd.le);
  if (RAND_bytes(r.data.data(), static_cast<int>(r.data.size())) != 1)
    return response::status(sw::no_diagnosis);
  os.issue_challenge(r.data);
  return r;
}
}  // namespace

void register_random_commands(card_os& os) { os.register_handler(0x80, 0x50, gen_random); }

}  // namespace vtok
