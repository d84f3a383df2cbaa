#include "commands/command_util.h"

#include <algorithm>

namespace vtok {
namespace cmdutil {

bool padded_text(const uint8_t* p, size_t n, size_t max, std::string* out) {
  const uint8_t* end = p + n;
  const uint8_t* zero = std::find(p, end, 0);
  if (std::any_of(zero, end, [](uint8_t b) { return b != 0; })) return false;
  const size_t len = static_cast<size_t>(zero - p);
  if (len > max) return false;
  out->assign(p, zero);
  return true;
}

bool get_command_ok(const command& cmd, size_t answer_size) {
  if (cmd.apdu_case != 1 && cmd.apdu_case != 2) return false;
  return !cmd.has_le || cmd.le >= answer_size;
}

}  // namespace cmdutil
}  // namespace vtok
