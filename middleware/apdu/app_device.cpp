// The exported command-library functions on device handles.
#include <cstdio>
#include <cstring>

#include "apdu/apdu_registry.h"
#include "apdu/apdu_settings.h"
#include "rx7100_app.h"

int g_last_sw = SW_OK;

namespace {
int g_max_transmit_len = 1024;
int g_max_io_delay = 4;

device_mgr& dm() { return *get_dev_mgr(); }

// Skips devices whose state is not `state` (3: any).
device_base* skip_to_state(device_base* d, int state) {
  while (d && state != DEV_STATE_INITIAL && d->get_dev_state() != state) d = dm().get_next_device();
  return d;
}

const char* give(device_base* d, void** handle) {
  if (handle) *handle = device_mgr::handle_of(d);
  return d ? d->get_dev_name() : nullptr;
}
}  // namespace

int rx_max_transmit_len() { return g_max_transmit_len; }
int rx_max_io_delay() { return g_max_io_delay; }

extern "C" {

int app_enum_device(const char* criteria) {
  int n = dm().enum_device(criteria);
  dm().destroy_removed_devices();
  return n;
}

int app_update_dev_state(int* removed, int* added, const char* criteria) {
  int names = 0;
  return dm().update_devices_state(&names, removed, added, criteria);
}

int app_destroy_removed_devs(void) { return dm().destroy_removed_devices(); }

const char* app_get_first_dev(void** handle, int state) {
  return give(skip_to_state(dm().get_first_device(), state), handle);
}

const char* app_get_next_dev(void** handle, int state) {
  return give(skip_to_state(dm().get_next_device(), state), handle);
}

const char* app_get_dev_name(void* handle) { return dm().get_dev_name(handle); }

void* app_get_dev_by_name(const char* name) { return dm().get_dev_by_name(name); }

int app_connect_device_by_name(const char* name, void** handle) {
  return dm().open_device_by_name(name, handle);
}

int app_connect_device(void* handle) { return dm().open_device(handle); }
int app_disconnect_device(void* handle) { return dm().close_device(handle); }
int app_get_dev_state(void* handle, int* state) { return dm().get_dev_state(handle, state); }
int app_set_dev_state(void* handle, int state) { return dm().set_dev_state(handle, state); }
int app_set_dev_name(void* handle, const char* name) { return dm().set_dev_name(handle, name); }
int app_get_dev_type(void* handle, int* type) { return dm().get_dev_type(handle, type); }
int app_dev_get_type(void* handle, int* type) { return dm().get_dev_type(handle, type); }

int app_dev_get_os_path(void* handle, char* buf) {
  const char* path = dm().get_dev_path(handle);
  if (!path) return 1;
  if (buf) std::snprintf(buf, 256, "%s", path);
  return 0;
}

int app_get_dev_os_handle(void* handle, void** os_handle) {
  return dm().get_os_handle(handle, os_handle);
}

int app_lock_device(void* handle, long timeout) { return dm().lock_device(handle, timeout); }
int app_unlock_device(void* handle) { return dm().unlock_device(handle); }
int app_begin_transaction(void* handle) { return dm().begin_transaction(handle); }
int app_end_transaction(void* handle) { return dm().end_transaction(handle); }

int app_transmit(void* handle, const unsigned char* cmd, int len, unsigned char* resp,
                 int* resp_len) {
  if (!resp_len) return RX_APP_EXCHANGE_FAILED;
  unsigned char buf[kMaxResponse];
  int got = kMaxResponse;
  if (dm().transmit_command(handle, cmd, len, buf, &got) != 0) {
    g_last_sw = SW_SEND_FAILED;
    return RX_APP_EXCHANGE_FAILED;
  }
  if (!resp || got > *resp_len) {
    *resp_len = got;
    return RX_APP_BUFFER_TOO_SMALL;
  }
  if (got > 0) std::memcpy(resp, buf, got);
  *resp_len = got;
  return RX_APP_OK;
}

void* app_add_exist_device(const char* name, void* os_handle) {
  return device_mgr::handle_of(dm().add_exist_device(name, os_handle));
}

int app_delete_device(void* handle) { return dm().delete_device(handle); }

int app_dev_get_hs_data_size(void* handle, int* size) { return dm().get_hs_apdu_size(handle, size); }

int app_dev_enable_high_speed(void* handle, int enable) {
  return dm().enable_high_speed(handle, enable);
}

int app_dev_crypt_with_high_speed(void* handle, unsigned long key, int alg, int mode, int flag1,
                                  int flag2, int flag3, unsigned char* iv, int iv_len,
                                  unsigned char* in, int in_len, unsigned char* out, int* out_len) {
  return dm().crypt_with_high_speed(handle, key, alg, mode, flag1, flag2, flag3, iv, iv_len, in,
                                    in_len, out, out_len);
}

int get_last_sw(void) { return g_last_sw; }

void set_max_transmit_len(int len) { g_max_transmit_len = len; }
int get_max_transmit_len(void) { return g_max_transmit_len; }
void set_max_io_delay(int delay) { g_max_io_delay = delay; }
int get_max_io_delay(void) { return g_max_io_delay; }

}  // extern "C"
