// OEM data: 512 bytes, 0xFF where never written.
//   ReadOemInfo   C0 0A, P1P2 = offset, no data, Le = bytes wanted
//                 -> min(Le, 512 - offset) bytes from the offset
//   WriteOemInfo  C0 0C, P1P2 = offset, the bytes to write
// An offset at or past the end is answered 6B00; a write that would run
// past the end 6700 (nothing written); a read without Le 6700. A locked
// card OS refuses writes with 6985.
#include <algorithm>

#include "card_os.h"
#include "commands/commands.h"

namespace vtok {

namespace {

size_t offset_of(const command& cmd) { return (static_cast<size_t>(cmd.p1) << 8) | cmd.p2; }

response read_oem(card_os& os, const command& cmd) {
  const std::vector<uint8_t>& oem = os.persistent().oem_data;
  const size_t off = offset_of(cmd);
  if (off >= oem.size()) return response::status(sw::offset_out_of_range);
  if (cmd.apdu_case != 2) return response::status(sw::wrong_length);
  const size_t n = std::min<size_t>(cmd.le, oem.size() - off);
  response r;
  r.data.assign(oem.begin() + static_cast<std::ptrdiff_t>(off),
                oem.begin() + static_cast<std::ptrdiff_t>(off + n));
  return r;
}

response write_oem(card_os& os, const command& cmd) {
  std::vector<uint8_t>& oem = os.persistent().oem_data;
  const size_t off = offset_of(cmd);
  if (off >= oem.size()) return response::status(sw::offset_out_of_range);
  if (cmd.apdu_case != 3 || cmd.data.size() > oem.size() - off)
    return response::status(sw::wrong_length);
  if (os.persistent().cos_locked) return response::status(sw::conditions_not_satisfied);
  std::copy(cmd.data.begin(), cmd.data.end(), oem.begin() + static_cast<std::ptrdiff_t>(off));
  os.mark_persistent_changed();
  return response::status(sw::ok);
}

}  // namespace

void register_oem_commands(card_os& os) {
  os.register_handler(0xC0, 0x0A, read_oem);
  os.register_handler(0xC0, 0x0C, write_oem);
}

}  // namespace vtok
