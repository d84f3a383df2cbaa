// Session-key command functions.
#include "apdu/app_session_key.h"

#include "apdu/apdu.h"
#include "apdu/app_cmd_util.h"

namespace {

bool id_ok(int v) { return v >= 0 && v <= 0xFFFF; }

void put16(unsigned char* out, int v) {
  out[0] = static_cast<unsigned char>((v >> 8) & 0xFF);
  out[1] = static_cast<unsigned char>(v & 0xFF);
}

apdu* create_apdu_destroy_session_key(int app_id, int container_id, int key_id) {
  apdu* a = new apdu(APDU_CASE_3E, 0x80, 0xC4, 0x00, 0x00, "DestroySessionKey");
  unsigned char data[6];
  put16(data, app_id);
  put16(data + 2, container_id);
  put16(data + 4, key_id);
  a->set_lc_data(data, sizeof data);
  return a;
}

}  // namespace

extern "C" {

int app_destroy_session_key(void* h, int app_id, int container_id, int key_id) {
  if (!id_ok(app_id) || !id_ok(container_id) || !id_ok(key_id)) return rx::cmd::refuse();
  return rx::cmd::run(h, rx::cmd::apdu_ptr(create_apdu_destroy_session_key(app_id, container_id, key_id)));
}
}
