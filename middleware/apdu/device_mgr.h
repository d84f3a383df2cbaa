// The exchange and the device-handle operations.
//
// A device handle is an opaque value (device_base::handle_id() as void*),
// never the object's address, and never reused; every operation resolves it
// by walking the device manager's list ("unknown" = not in the list).
#pragma once

#include <cstdint>

#include "apdu/apdu_mgr_base.h"
#include "transport/device_manager.h"

class device_mgr : public apdu_mgr_base {
 public:
  device_mgr() = default;
  ~device_mgr() override = default;

  // The process-wide device manager (obtained on first use).
  device_manager* manager();

  // Handle <-> device.
  static void* handle_of(device_base* dev);
  device_base* find(void* handle);

  int enum_device(const char* criteria);
  int update_devices_state(int* names, int* removed, int* added, const char* criteria);
  int destroy_removed_devices();

  // Iteration with the internal cursor (it remembers the current device's
  // handle, so destroying devices never leaves it dangling: when the current
  // device is gone, get_next_device ends the iteration).
  device_base* get_first_device();
  device_base* get_next_device();
  device_base* get_current_device();
  int get_dev_num();

  void* get_dev_by_name(const char* name);
  int open_device_by_name(const char* name, void** handle);
  int get_dev_handle_by_name(const char* name, void** handle);
  int open_device(void* handle);
  int close_device(void* handle);
  int get_dev_state(void* handle, int* state);
  int set_dev_state(void* handle, int state);
  const char* get_dev_name(void* handle);
  const char* get_dev_path(void* handle);
  int set_dev_name(void* handle, const char* name);
  int get_dev_type(void* handle, int* type);
  int get_os_handle(void* handle, void** os);
  int device_present(void* handle);
  int lock_device(void* handle, long timeout);
  int unlock_device(void* handle);
  int begin_transaction(void* handle);
  int end_transaction(void* handle);
  int get_hs_apdu_size(void* handle, int* size);
  int enable_high_speed(void* handle, int enable);
  int crypt_with_high_speed(void* handle, unsigned long key, int alg, int mode, int flag1,
                            int flag2, int flag3, unsigned char* iv, int iv_len, unsigned char* in,
                            int in_len, unsigned char* out, int* out_len);

  // Raw exchange: 1 unknown, 2 send failed, 3 receive failed, 0.
  // `*resp_len` on entry: capacity.
  int transmit_command(void* handle, const unsigned char* cmd, int len, unsigned char* resp,
                       int* resp_len);
  // Vendor pass-through: 1 unknown, 2 transport failed, 0.
  int send_raw_data(void* handle, const unsigned char* cdb, int cdb_len, const unsigned char* data,
                    long len);
  int receive_raw_data(void* handle, const unsigned char* cdb, int cdb_len, unsigned char* buf,
                       long* len);

  // One framed exchange: 1 unknown (status 0x8002), else 0 with the status
  // 0x9000, 0x8004 (receive failed) or 0x8003 (anything else).
  int device_io(void* handle, const unsigned char* cmd, int len, unsigned char* resp,
                int* resp_len, int* sw, int timeout);
  // One command record exchange: 0 (status = SW1 SW2, to be judged by the
  // caller), 1/2 encoding failed (0x8001), 3 device gone (0x8003), 6 response
  // undecodable (0x8005), 7 transport failed (0x8003/0x8004 in *sw).
  int transmit_apdu(void* handle, apdu* cmd, int* sw);

  // Chained command data: the head (caller-owned) goes with CLA
  // bit 0x10, then the data in chunks of the maximum transmit length, each a
  // continuation of the head with bit 0x10 on all but the last. 0; 1 a
  // transport failure or a refusal before sending anything (no data, no
  // head, or a maximum transmit length <= 0: status 0x8001); 2 a status other
  // than 0x9000 (in *sw).
  int transmit_chained(void* handle, apdu* head, const unsigned char* data, int len, int* sw);

  device_base* add_exist_device(const char* name, void* os_handle);
  int delete_device(void* handle);

 private:
  device_manager* mgr_ = nullptr;
  uintptr_t cursor_ = 0;  // handle id of the current device; 0: none
};

// Process-wide settings (also exported, include/rx7100_app.h).
int rx_max_transmit_len();
int rx_max_io_delay();
