// Command builder `apdu_dev_manager`, reached through get_apdu_dev_mgr() (apdu/apdu_registry.h):
// device information, device authentication, PIN.
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include <cstdint>

#include "apdu/apdu_mgr_base.h"

class apdu_dev_manager : public apdu_mgr_base {
 public:
  apdu_dev_manager() = default;
  ~apdu_dev_manager() override = default;

  // Device and authentication commands. Each returns a new record (the
  // caller deletes it), or null when the arguments cannot make a valid one
  // (null data with a length, a negative length, data above 65535 bytes,
  // an empty text, an id outside 0-255).
  apdu* create_apdu_get_dev_info();                            // 80 04 00 00, 2E
  apdu* create_apdu_get_short_dev_info();                      // 80 04 01 00, 2E
  apdu* create_apdu_set_label(const char* label);              // 80 02 00 00, 3E
  apdu* create_apdu_set_serial_number(const char* serial);     // 80 02 01 00, 3E
  apdu* create_apdu_led_control(int selector, uint32_t value); // C0 40 00 sel, 3E
  apdu* create_apdu_dev_auth(int key_id, const unsigned char* data, int len);  // 80 10
  apdu* create_apdu_change_dev_auth_key(int key_id, const unsigned char* data,
                                        int len);                               // 84 12
  apdu* create_apdu_change_dev_auth_key_ex(const unsigned char* data, int len);  // C0 36
};
