#include "service/label_command.h"

#include <string>

#include "card_os.h"

namespace vtok {
namespace svc {

namespace {

response set_label(card_os& os, const command& cmd) {
  if (cmd.p1 != 0 || cmd.p2 != 0) return response::status(sw::wrong_p1p2);
  if (cmd.apdu_case != 3 || cmd.data.empty() || cmd.data.size() > max_label_length)
    return response::status(sw::wrong_length);
  // Printable ASCII only: the label is stored as JSON text.
  for (uint8_t c : cmd.data)
    if (c < 0x20 || c > 0x7e) return response::status(sw::wrong_data);
  os.persistent().label.assign(cmd.data.begin(), cmd.data.end());
  os.mark_persistent_changed();
  return response::status(sw::ok);
}

}  // namespace

void install_label_command(card_os& os) {
  if (!os.has_handler(0x80, 0x02)) os.register_handler(0x80, 0x02, set_label);
}

}  // namespace svc
}  // namespace vtok
