// Vendor pass-through commands: a 16-byte command block (no APDU) sent and
// received with the device's raw operations.
#include <array>
#include <cstring>

#include <openssl/crypto.h>

#include "apdu/apdu_registry.h"
#include "apdu/apdu_settings.h"
#include "apdu/app_cmd_util.h"
#include "rx7100_app.h"
#include "rx7100_cmd.h"

namespace {

using block = std::array<unsigned char, 16>;

constexpr int kHidType = 1;
constexpr int kMaxRawData = 65535;

device_mgr& dm() { return *get_dev_mgr(); }

block make_block(unsigned char b0, unsigned char b1, unsigned char b2) {
  block b{};
  b[0] = b0;
  b[1] = b1;
  b[2] = b2;
  return b;
}

bool data_ok(const unsigned char* data, int n, int max) {
  return n >= 0 && n <= max && (n == 0 || data != nullptr);
}

// Sends the block and its data: 0, or 1 with 0x8003.
int send(void* h, const block& b, const unsigned char* data, long n) {
  if (dm().send_raw_data(h, b.data(), static_cast<int>(b.size()), data, n) != 0) {
    g_last_sw = SW_SEND_FAILED;
    return 1;
  }
  return 0;
}

// A configuration command: send, then on HID devices consume the token's
// acknowledgement (its outcome is not judged). 0, 1 (send failed) or 2
// (device type unknown).
int configure(void* h, const block& b, const unsigned char* data, long n) {
  if (send(h, b, data, n) != 0) return 1;
  int type = 0;
  if (dm().get_dev_type(h, &type) != 0) return 2;
  if (type == kHidType) {
    long none = 0;
    (void)dm().receive_raw_data(h, b.data(), static_cast<int>(b.size()), nullptr, &none);
  }
  return 0;
}

// A query: on HID devices the block goes out first with 16 zero bytes; then
// the answer is received into `buf` (capacity *n, becomes the length).
// 0; 1 send failed (0x8003); `fail` on a failed receive or an unknown
// device type (0x8004).
int query(void* h, const block& b, unsigned char* buf, long* n, int fail) {
  int type = 0;
  if (dm().get_dev_type(h, &type) != 0) {
    g_last_sw = SW_SEND_FAILED;
    return 1;
  }
  if (type == kHidType) {
    const unsigned char zeros[16] = {0};
    if (send(h, b, zeros, sizeof(zeros)) != 0) return 1;
  }
  if (dm().receive_raw_data(h, b.data(), static_cast<int>(b.size()), buf, n) != 0) {
    g_last_sw = SW_RECEIVE_FAILED;
    return fail;
  }
  return 0;
}

int refuse() { return rx::cmd::refuse(); }

block sector_block(int op, unsigned int lba, int count) {
  block b{};
  b[0] = static_cast<unsigned char>(op);
  b[2] = static_cast<unsigned char>(lba >> 24);
  b[3] = static_cast<unsigned char>(lba >> 16);
  b[4] = static_cast<unsigned char>(lba >> 8);
  b[5] = static_cast<unsigned char>(lba);
  b[7] = static_cast<unsigned char>(count >> 8);
  b[8] = static_cast<unsigned char>(count);
  return b;
}

bool sector_args_ok(int op, int count) { return op >= 0 && op <= 0xFF && count >= 0 && count <= 0xFFFF; }

}  // namespace

extern "C" {

int app_dev_set_vidpid(void* h, unsigned short vid, unsigned short pid) {
  const unsigned char d[4] = {static_cast<unsigned char>(vid & 0xFF),
                              static_cast<unsigned char>(vid >> 8),
                              static_cast<unsigned char>(pid & 0xFF),
                              static_cast<unsigned char>(pid >> 8)};
  return configure(h, make_block(0xFC, 0x01, 0xAA), d, sizeof(d));
}

int app_dev_set_inquiry(void* h, const unsigned char* data, int n) {
  if (!data_ok(data, n, 256)) return refuse();
  return configure(h, make_block(0xFC, 0x02, 0xAA), data, n);
}

int app_ble_set_broadcast_name(void* h, const char* name, int flag) {
  if (!name || flag < 0 || flag > 0xFF) return refuse();
  const size_t len = strnlen(name, 17);
  if (len > 16) return refuse();
  unsigned char d[17];
  std::memcpy(d, name, len);
  d[len] = static_cast<unsigned char>(flag);
  return configure(h, make_block(0xFC, 0x04, 0xAA), d, static_cast<long>(len + 1));
}

int app_ble_set_auth_code(void* h, const unsigned char* code, int n) {
  if (!data_ok(code, n, 32)) return refuse();
  unsigned char d[32] = {0};
  if (n > 0) std::memcpy(d, code, n);
  int r = configure(h, make_block(0xFC, 0x05, 0xAA), d, sizeof(d));
  OPENSSL_cleanse(d, sizeof(d));
  return r;
}

int app_ble_set_logo(void* h, const unsigned char* data, int n) {
  if (!data_ok(data, n, kMaxRawData)) return refuse();
  return configure(h, make_block(0xFC, 0x06, 0xAA), data, n);
}

int app_set_usb_name(void* h, const unsigned char* data, int n) {
  if (!data_ok(data, n, 128)) return refuse();
  return configure(h, make_block(0xFC, 0x07, 0xAA), data, n);
}

int app_ccid_set_ATR(void* h, const unsigned char* data, int n) {
  if (!data_ok(data, n, 128)) return refuse();
  return configure(h, make_block(0xFC, 0x08, 0xAA), data, n);
}

int app_dev_set_template(void* h, const unsigned char* data, int n) {
  if (!data_ok(data, n, kMaxRawData)) return refuse();
  return configure(h, make_block(0xFC, 0x10, 0xAA), data, n);
}

int app_dev_get_template(void* h, unsigned char* buf, int* n) {
  if (!n || *n < 0) return refuse();
  // Received whole into a buffer of known size, then handed over only if
  // it fits the caller's.
  unsigned char tmp[kMaxResponse];
  long got = sizeof(tmp);
  if (int r = query(h, make_block(0xFC, 0x11, 0xAA), tmp, &got, 2)) return r;
  if (got < 0 || got > static_cast<long>(sizeof(tmp))) {
    g_last_sw = SW_DECODE_FAILED;
    return 2;
  }
  if (got > *n || (got > 0 && !buf)) {
    *n = static_cast<int>(got);
    return 3;
  }
  if (got > 0) std::memcpy(buf, tmp, got);
  *n = static_cast<int>(got);
  return 0;
}

int app_dev_lcd_show(void* h, const unsigned char* data, int n) {
  if (!data_ok(data, n, kMaxRawData)) return refuse();
  return configure(h, make_block(0xFC, 0x12, 0xAA), data, n);
}

int app_dev_btn_get_last_key(void* h, unsigned char* key) {
  if (!key) return refuse();
  unsigned char tmp[kMaxResponse] = {0};
  long got = sizeof(tmp);
  if (int r = query(h, make_block(0xFC, 0x13, 0xAA), tmp, &got, 2)) return r;
  if (got < 1) {
    g_last_sw = SW_DECODE_FAILED;
    return 2;
  }
  *key = tmp[0];
  return 0;
}

int app_dev_set_usbvendor(void* h, const unsigned char* data, int n) {
  if (!data_ok(data, n, 32)) return refuse();
  return configure(h, make_block(0xFC, 0x41, 0xAA), data, n);
}

int app_ble_get_broadcast_name(void* h, char* buf) {
  if (!buf) return refuse();
  unsigned char tmp[16] = {0};
  long got = sizeof(tmp);
  if (int r = query(h, make_block(0xFD, 0x01, 0xAA), tmp, &got, 2)) return r;
  if (got < 0 || got > 16) got = 16;
  size_t len = strnlen(reinterpret_cast<const char*>(tmp), static_cast<size_t>(got));
  std::memcpy(buf, tmp, len);
  buf[len] = '\0';
  return 0;
}

int app_disable_cd(void* h) { return configure(h, make_block(0xF8, 0xCC, 0xBB), nullptr, 0); }

int app_ble_disable_sleep(void* h, int value) {
  if (value < 0 || value > 0xFF) return refuse();
  return configure(h, make_block(0xF8, 0xFF, static_cast<unsigned char>(value)), nullptr, 0);
}

int app_dev_get_rw_cd(void* h, int* rw) {
  if (!rw) return refuse();
  const block b = make_block(0xF3, 0x40, 0xF2);
  if (send(h, b, nullptr, 0) != 0) return 1;
  int type = 0;
  if (dm().get_dev_type(h, &type) != 0) return 2;
  if (type != kHidType) return 0;
  unsigned char tmp[32] = {0};
  long got = sizeof(tmp);
  if (dm().receive_raw_data(h, b.data(), static_cast<int>(b.size()), tmp, &got) != 0) {
    g_last_sw = SW_RECEIVE_FAILED;
    return 3;
  }
  if (got < 1) {
    g_last_sw = SW_DECODE_FAILED;
    return 3;
  }
  *rw = tmp[0] == 0xF2 ? 1 : 0;
  return 0;
}

int app_dev_set_rw_cd(void* h, int on) {
  return configure(h, make_block(0xF3, 0x30, on == 0 ? 0xF2 : 0x00), nullptr, 0);
}

int app_dev_write_sectors(void* h, int op, unsigned int lba, int count, const unsigned char* data,
                          int n) {
  if (!sector_args_ok(op, count) || !data_ok(data, n, 0x7FFFFFFF)) return refuse();
  return send(h, sector_block(op, lba, count), data, n);
}

int app_dev_read_sectors(void* h, int op, unsigned int lba, int count, unsigned char* buf,
                         int n) {
  if (!sector_args_ok(op, count) || n < 0 || (n > 0 && !buf)) return refuse();
  const block b = sector_block(op, lba, count);
  long got = n;
  if (dm().receive_raw_data(h, b.data(), static_cast<int>(b.size()), buf, &got) != 0) {
    g_last_sw = SW_RECEIVE_FAILED;
    return 1;
  }
  if (got != n) {
    g_last_sw = SW_DECODE_FAILED;
    return 1;
  }
  return 0;
}

}  // extern "C"
