// Command builder `apdu_factory_manager`, reached through get_factory_mgr() (apdu/apdu_registry.h):
// format, OEM data, factory and status.
// Stateless; one instance per process. The create_apdu_* operations are
// added by the Part that specifies the commands.
#pragma once

#include "apdu/apdu_mgr_base.h"

class apdu_factory_manager : public apdu_mgr_base {
 public:
  apdu_factory_manager() = default;
  ~apdu_factory_manager() override = default;

  static constexpr int kFormatDevInfoLen = 288;
  static constexpr int kFormatExtraLen = 32;
  static constexpr int kFormatDataLen = 8 + kFormatDevInfoLen + kFormatExtraLen + 2;  // 330

  // Factory commands (CLA C0). Each returns a new record (the caller deletes
  // it), or null when the arguments cannot make a valid one.
  // Format (INS 00, 3E): P1 = `p1`; "yFRPElce", the 288-byte `devinfo`, the
  // 32 bytes `extra`, b1, b2.
  apdu* create_apdu_format(const unsigned char* devinfo, const unsigned char* extra, int p1,
                           unsigned char b1, unsigned char b2);
  apdu* create_apdu_get_fs_max_cap();     // INS 02, 2E, Le 4
  apdu* create_apdu_get_raw_hwsn();       // INS 04, 2E
  apdu* create_apdu_back_to_bootloader(); // INS 06, 3E, "yFRPElce"
  apdu* create_apdu_get_dev_status();     // INS 08, 2E
  // INS 0A, 2E: P1 P2 = `offset` (0-65535), Le = `len` (1-65535).
  apdu* create_apdu_read_oem_info(int offset, int len);
  // INS 0C, 3E: P1 P2 = `offset`, the OEM data.
  apdu* create_apdu_write_oem_info(int offset, const unsigned char* data, int len);
  apdu* create_apdu_lock_cos(const unsigned char* data, int len);  // INS 0E, 3E
};
