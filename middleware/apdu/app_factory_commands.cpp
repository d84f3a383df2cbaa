// Command functions: format, file-system capacity, device status, raw
// hardware serial number, boot loader, OEM data, card OS lock.
#include <cstring>

#include "apdu/apdu_registry.h"
#include "apdu/apdu_settings.h"
#include "apdu/app_cmd_util.h"
#include "rx7100_app.h"
#include "rx7100_cmd.h"

using rx::cmd::apdu_ptr;

namespace {

apdu_factory_manager& fac() { return *get_factory_mgr(); }

// Exchange and judge, keeping the record for its response.
int ask(void* h, apdu* a) {
  if (rx::cmd::exchange(h, a) != 0) return 1;
  return rx::cmd::judge();
}

// The response into buf; `*len` in-out (3: *len = the length needed).
int answer_into(const apdu& a, unsigned char* buf, int* len) {
  int n = 0;
  a.get_response_data(&n);
  if (rx::cmd::copy_response(a, buf, *len, len) != 0) {
    *len = n;
    return 3;
  }
  return 0;
}

}  // namespace

extern "C" {

int app_dev_format(void* h, const unsigned char* devinfo, const unsigned char* extra, int p1,
                   unsigned char b1, unsigned char b2) {
  return rx::cmd::run(h, apdu_ptr(fac().create_apdu_format(devinfo, extra, p1, b1, b2)));
}

int app_dev_get_max_fscaps(void* h, unsigned int* capacity) {
  if (!capacity) return rx::cmd::refuse();
  apdu_ptr a(fac().create_apdu_get_fs_max_cap());
  if (int r = ask(h, a.get())) return r;
  int n = 0;
  const unsigned char* p = a->get_response_data(&n);
  if (!p || n < 4) return 3;
  *capacity = (static_cast<unsigned int>(p[0]) << 24) | (static_cast<unsigned int>(p[1]) << 16) |
              (static_cast<unsigned int>(p[2]) << 8) | p[3];
  return 0;
}

int app_dev_get_dev_status(void* h, unsigned char* status) {
  if (!status) return rx::cmd::refuse();
  apdu_ptr a(fac().create_apdu_get_dev_status());
  if (int r = ask(h, a.get())) return r;
  int n = 0;
  const unsigned char* p = a->get_response_data(&n);
  if (!p || n < 1) return 3;
  *status = p[0];
  return 0;
}

int app_dev_get_raw_hwsn(void* h, unsigned char* buf, int* len) {
  if (!len || *len < 0) return rx::cmd::refuse();
  apdu_ptr a(fac().create_apdu_get_raw_hwsn());
  if (int r = ask(h, a.get())) return r;
  return answer_into(*a, buf, len);
}

int app_dev_erase_firmware(void* h) {
  return rx::cmd::run(h, apdu_ptr(fac().create_apdu_back_to_bootloader()));
}

int app_read_oem_info(void* h, int offset, unsigned char* buf, int* len) {
  if (!len || !buf) return rx::cmd::refuse();
  apdu_ptr a(fac().create_apdu_read_oem_info(offset, *len));
  if (int r = ask(h, a.get())) return r;
  return answer_into(*a, buf, len);
}

int app_write_oem_info(void* h, int offset, const unsigned char* buf, int len) {
  apdu_ptr a(fac().create_apdu_write_oem_info(offset, buf, len));
  // The caller's buffer is input only: response data, if any, is discarded.
  return ask(h, a.get());
}

int app_dev_lock_cos(void* h, const unsigned char* data, int len) {
  return rx::cmd::run(h, apdu_ptr(fac().create_apdu_lock_cos(data, len)));
}

}  // extern "C"
