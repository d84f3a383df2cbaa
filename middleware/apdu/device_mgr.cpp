#include "apdu/device_mgr.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include <openssl/crypto.h>

#include "apdu/apdu_settings.h"
#include "rx7100_app.h"
#include "transport/platform.h"

device_manager* device_mgr::manager() {
  if (!mgr_) mgr_ = os_selector::get_device_discover();
  return mgr_;
}

void* device_mgr::handle_of(device_base* dev) {
  return dev ? reinterpret_cast<void*>(dev->handle_id()) : nullptr;
}

device_base* device_mgr::find(void* handle) {
  if (!handle) return nullptr;
  uintptr_t id = reinterpret_cast<uintptr_t>(handle);
  void* pos = nullptr;
  for (device_base* d = manager()->get_first_device(pos); d; d = manager()->get_next_device(pos))
    if (d->handle_id() == id) return d;
  return nullptr;
}

int device_mgr::enum_device(const char* criteria) {
  return manager()->enum_and_create_devices(criteria);
}

int device_mgr::update_devices_state(int* names, int* removed, int* added, const char* criteria) {
  int r = 0, a = 0;
  int n = manager()->update_devices(&r, &a, criteria);
  if (names) *names = n;
  if (removed) *removed = r;
  if (added) *added = a;
  return 0;
}

int device_mgr::destroy_removed_devices() { return manager()->destroy_removed_deviced(); }

device_base* device_mgr::get_first_device() {
  void* pos = nullptr;
  device_base* d = manager()->get_first_device(pos);
  cursor_ = d ? d->handle_id() : 0;
  return d;
}

device_base* device_mgr::get_next_device() {
  if (cursor_ == 0) return nullptr;
  void* pos = nullptr;
  for (device_base* d = manager()->get_first_device(pos); d; d = manager()->get_next_device(pos)) {
    if (d->handle_id() != cursor_) continue;
    device_base* next = manager()->get_next_device(pos);
    cursor_ = next ? next->handle_id() : 0;
    return next;
  }
  cursor_ = 0;  // the current device is gone
  return nullptr;
}

device_base* device_mgr::get_current_device() {
  return cursor_ ? find(reinterpret_cast<void*>(cursor_)) : nullptr;
}

int device_mgr::get_dev_num() { return manager()->get_device_number(); }

void* device_mgr::get_dev_by_name(const char* name) {
  if (!name) return nullptr;
  void* pos = nullptr;
  for (device_base* d = manager()->get_first_device(pos); d; d = manager()->get_next_device(pos)) {
    const char* n = d->get_dev_name();
    if (n && std::strcmp(n, name) == 0) return handle_of(d);
  }
  return nullptr;
}

int device_mgr::get_dev_handle_by_name(const char* name, void** handle) {
  void* h = get_dev_by_name(name);
  if (!h) return 1;
  if (handle) *handle = h;
  return 0;
}

int device_mgr::open_device_by_name(const char* name, void** handle) {
  void* h = get_dev_by_name(name);
  if (!h) return 1;
  if (find(h)->open() != 0) return 2;
  if (handle) *handle = h;
  return 0;
}

int device_mgr::open_device(void* handle) {
  device_base* d = find(handle);
  if (!d) return 1;
  return d->open() != 0 ? 2 : 0;
}

int device_mgr::close_device(void* handle) {
  device_base* d = find(handle);
  if (!d) return 1;
  return d->close();
}

int device_mgr::get_dev_state(void* handle, int* state) {
  device_base* d = find(handle);
  if (!d) return 1;
  if (state) *state = d->get_dev_state();
  return 0;
}

int device_mgr::set_dev_state(void* handle, int state) {
  device_base* d = find(handle);
  if (!d) return 1;
  d->set_dev_state(static_cast<enmDevState>(state));
  return 0;
}

const char* device_mgr::get_dev_name(void* handle) {
  device_base* d = find(handle);
  return d ? d->get_dev_name() : nullptr;
}

const char* device_mgr::get_dev_path(void* handle) {
  device_base* d = find(handle);
  return d ? d->get_dev_path() : nullptr;
}

int device_mgr::set_dev_name(void* handle, const char* name) {
  device_base* d = find(handle);
  if (!d) return 1;
  d->set_dev_name(name);
  return 0;
}

int device_mgr::get_dev_type(void* handle, int* type) {
  device_base* d = find(handle);
  if (!d) return 1;
  if (type) *type = d->get_device_type();
  return 0;
}

int device_mgr::get_os_handle(void* handle, void** os) {
  device_base* d = find(handle);
  if (!d) return 1;
  if (os) *os = d->get_dev_os_handle();
  return 0;
}

int device_mgr::device_present(void* handle) {
  device_base* d = find(handle);
  if (!d) return 1;
  if (d->dev_present() == 0) return 0;
  d->close();
  d->set_dev_state(DEV_STATE_REMOVED);
  destroy_removed_devices();
  return 2;
}

int device_mgr::lock_device(void* handle, long timeout) {
  device_base* d = find(handle);
  return d ? d->begin_transaction(timeout) : 1;
}

int device_mgr::unlock_device(void* handle) {
  device_base* d = find(handle);
  return d ? d->end_transaction() : 1;
}

int device_mgr::begin_transaction(void* handle) {
  device_base* d = find(handle);
  return d ? d->begin_transaction(-1) : 1;
}

int device_mgr::end_transaction(void* handle) {
  device_base* d = find(handle);
  return d ? d->end_transaction() : 1;
}

int device_mgr::get_hs_apdu_size(void* handle, int* size) {
  device_base* d = find(handle);
  return d ? d->get_hs_apdu_size(size) : 1;
}

int device_mgr::enable_high_speed(void* handle, int enable) {
  device_base* d = find(handle);
  return d ? d->enable_high_speed(enable) : 1;
}

int device_mgr::crypt_with_high_speed(void* handle, unsigned long key, int alg, int mode,
                                      int flag1, int flag2, int flag3, unsigned char* iv,
                                      int iv_len, unsigned char* in, int in_len,
                                      unsigned char* out, int* out_len) {
  device_base* d = find(handle);
  return d ? d->crypt_with_high_speed(key, alg, mode, flag1, flag2, flag3, iv, iv_len, in, in_len,
                                      out, out_len)
           : 1;
}

int device_mgr::transmit_command(void* handle, const unsigned char* cmd, int len,
                                 unsigned char* resp, int* resp_len) {
  device_base* d = find(handle);
  if (!d) return 1;
  int r = d->device_io(cmd, len, resp, resp_len);
  if (r == 0) return 0;
  return r == 2 ? 3 : 2;
}

int device_mgr::send_raw_data(void* handle, const unsigned char* cdb, int cdb_len,
                              const unsigned char* data, long len) {
  device_base* d = find(handle);
  if (!d) return 1;
  return d->send_raw_data(cdb, cdb_len, data, len) == 0 ? 0 : 2;
}

int device_mgr::receive_raw_data(void* handle, const unsigned char* cdb, int cdb_len,
                                 unsigned char* buf, long* len) {
  device_base* d = find(handle);
  if (!d) return 1;
  return d->receive_raw_data(cdb, cdb_len, buf, len) == 0 ? 0 : 2;
}

int device_mgr::device_io(void* handle, const unsigned char* cmd, int len, unsigned char* resp,
                          int* resp_len, int* sw, int timeout) {
  (void)rx_max_io_delay();  // queried, not applied on this platform
  int dummy = 0;
  if (!sw) sw = &dummy;
  device_base* d = find(handle);
  if (!d) {
    *sw = SW_UNKNOWN_HANDLE;
    return 1;
  }
  d->set_comm_timeout(timeout);
  int r = d->device_io(cmd, len, resp, resp_len);
  *sw = r == 0 ? SW_OK : (r == 2 ? SW_RECEIVE_FAILED : SW_SEND_FAILED);
  return 0;
}

int device_mgr::transmit_apdu(void* handle, apdu* cmd, int* sw) {
  (void)rx_max_io_delay();
  int dummy = 0;
  if (!sw) sw = &dummy;
  if (!cmd) {
    *sw = SW_ENCODE_FAILED;
    return 1;
  }
  int enc_len = 0;
  if (cmd->serialize(nullptr, &enc_len) != APDU_OK || enc_len <= 0) {
    *sw = SW_ENCODE_FAILED;
    return 1;
  }
  std::unique_ptr<unsigned char[]> enc(new unsigned char[enc_len]);
  if (cmd->serialize(enc.get(), &enc_len) != APDU_OK) {
    *sw = SW_ENCODE_FAILED;
    return 2;
  }

  unsigned char resp[kMaxResponse];
  std::memset(resp, 0, sizeof(resp));
  // The encoded command and the raw answer may hold key material.
  struct wipe_on_exit {
    unsigned char* a;
    size_t a_len;
    unsigned char* b;
    size_t b_len;
    ~wipe_on_exit() {
      OPENSSL_cleanse(a, a_len);
      OPENSSL_cleanse(b, b_len);
    }
  } wipe{enc.get(), static_cast<size_t>(enc_len), resp, sizeof(resp)};
  int resp_len = 0;
  int status = 0;
  bool exchanged = false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    resp_len = kMaxResponse;
    if (device_io(handle, enc.get(), enc_len, resp, &resp_len, &status, cmd->get_comm_timeout()) ==
        0) {
      exchanged = true;
      break;
    }
    if (device_present(handle) != 0) break;
    rx::plat::get().sleep_ms(200);
  }
  if (!exchanged) {
    *sw = SW_SEND_FAILED;
    return 3;
  }
  if (status != SW_OK) {
    *sw = status;
    return 7;
  }
  if (cmd->deserialize(resp, resp_len) != APDU_OK) {
    *sw = SW_DECODE_FAILED;
    return 6;
  }
  *sw = cmd->get_sw();
  return 0;
}

int device_mgr::transmit_chained(void* handle, apdu* head, const unsigned char* data, int len,
                                 int* sw) {
  int dummy = 0;
  if (!sw) sw = &dummy;
  const int max = rx_max_transmit_len();
  if (!head || !data || len <= 0 || max <= 0) {
    *sw = SW_ENCODE_FAILED;
    return 1;
  }
  head->set_not_last_ins();
  if (transmit_apdu(handle, head, sw) != 0) return 1;
  if (*sw != SW_OK) return 2;
  for (int off = 0; off < len;) {
    int n = len - off < max ? len - off : max;
    std::unique_ptr<apdu> chunk(create_apdu_transmit_more_data(*head, data + off, n));
    if (off + n < len)
      chunk->set_not_last_ins();
    else
      chunk->set_last_ins();
    if (transmit_apdu(handle, chunk.get(), sw) != 0) return 1;
    if (*sw != SW_OK) return 2;
    off += n;
  }
  return 0;
}

device_base* device_mgr::add_exist_device(const char* name, void* os_handle) {
  return manager()->add_new_device(name, os_handle);
}

int device_mgr::delete_device(void* handle) { return manager()->delete_device(handle); }
