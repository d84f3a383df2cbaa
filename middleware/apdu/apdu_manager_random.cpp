// apdu_manager: the random-number command.
#include "apdu/apdu_manager.h"

apdu* apdu_manager::create_apdu_gen_random(int len) {
  if (len <= 0 || len > 65536) return nullptr;
  apdu* a = new apdu(APDU_CASE_2E, 0x80, 0x50, 0x00, 0x00, "GenRandom");
  a->set_le(len);
  return a;
}
