// Command functions: device information, random numbers, label and serial
// number, LED, device authentication.
#include <cstring>

#include "apdu/apdu_registry.h"
#include "apdu/apdu_settings.h"
#include "apdu/app_cmd_util.h"
#include "rx7100_app.h"
#include "rx7100_cmd.h"

using rx::cmd::apdu_ptr;

namespace {

apdu_dev_manager& dev() { return *get_apdu_dev_mgr(); }

// A command whose whole response goes to the caller's buffer.
int read_record(void* h, apdu_ptr a, unsigned char* buf, int cap) {
  if (cap < 0) return rx::cmd::refuse();
  if (rx::cmd::exchange(h, a.get()) != 0) return 1;
  if (int r = rx::cmd::judge()) return r;
  return rx::cmd::copy_response(*a, buf, cap, nullptr);
}

// A command carrying key material: the record's copy is wiped before it is
// freed, whatever the outcome.
int run_secret(void* h, apdu_ptr a) {
  int r = rx::cmd::exchange(h, a.get());
  rx::cmd::wipe(a.get());
  return r != 0 ? 1 : rx::cmd::judge();
}

}  // namespace

extern "C" {

int app_get_dev_info(void* h, unsigned char* buf, int cap) {
  return read_record(h, apdu_ptr(dev().create_apdu_get_dev_info()), buf, cap);
}

int app_get_dev_short_info(void* h, unsigned char* buf, int cap) {
  return read_record(h, apdu_ptr(dev().create_apdu_get_short_dev_info()), buf, cap);
}

int app_gen_random(void* h, unsigned char* buf, int len) {
  if (!buf) return rx::cmd::refuse();
  apdu_ptr a(get_apdu_mgr()->create_apdu_gen_random(len));
  if (rx::cmd::exchange(h, a.get()) != 0) return 1;
  int n = 0;
  a->get_response_data(&n);
  // More than asked: nothing is copied.
  if (n > len) {
    rx::cmd::wipe(a.get());
    return 3;
  }
  if (int r = rx::cmd::judge()) {
    rx::cmd::wipe(a.get());
    return r;
  }
  // Fewer than asked would leave part of the buffer holding whatever it
  // held before, reported as random: refused.
  if (n != len) {
    rx::cmd::wipe(a.get());
    g_last_sw = SW_DECODE_FAILED;
    return 1;
  }
  rx::cmd::copy_response(*a, buf, len, nullptr);
  rx::cmd::wipe(a.get());
  return 0;
}

int app_set_label(void* h, const char* label) {
  return rx::cmd::run(h, apdu_ptr(dev().create_apdu_set_label(label)));
}

int app_set_serial_number(void* h, const char* serial) {
  return rx::cmd::run(h, apdu_ptr(dev().create_apdu_set_serial_number(serial)));
}

int app_sys_led_control(void* h, int selector, unsigned int value) {
  return rx::cmd::run(h, apdu_ptr(dev().create_apdu_led_control(selector, value)));
}

int app_dev_auth(void* h, int key_id, const unsigned char* data, int len) {
  return run_secret(h, apdu_ptr(dev().create_apdu_dev_auth(key_id, data, len)));
}

int app_change_dev_auth_key(void* h, int key_id, const unsigned char* data, int len) {
  return run_secret(h, apdu_ptr(dev().create_apdu_change_dev_auth_key(key_id, data, len)));
}

int app_change_dev_auth_key_ex(void* h, const unsigned char* data, int len) {
  return run_secret(h, apdu_ptr(dev().create_apdu_change_dev_auth_key_ex(data, len)));
}

}  // extern "C"
