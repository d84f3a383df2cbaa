/*
 * rx7100 command library: device, authentication, factory and vendor
 * pass-through commands.
 *
 * Plain C interface. `h` is a device handle as handed out by the functions of
 * rx7100_app.h (an opaque value; an unknown handle makes the exchange fail).
 *
 * Result convention (RX_APP_* in rx7100_app.h):
 *   0  success: the token answered 0x9000 and any output was copied;
 *   1  the exchange failed: the last status word (get_last_sw) holds a
 *      pseudo status word (0x8001 bad arguments / record not encodable,
 *      0x8003 sending failed or unknown handle, 0x8004 receiving failed,
 *      0x8005 the response could not be used);
 *   2  the token answered a status word the command does not accept; the
 *      last status word holds it;
 *   3  the caller's output buffer is smaller than the response data: nothing
 *      is copied. Where the length is in-out, it then receives the length
 *      needed.
 * Arguments are checked before anything is sent: a null pointer where data
 * is required, a negative length or data longer than a command can carry
 * gives 1 with the last status word 0x8001 and no traffic.
 *
 * In-out lengths: on entry the capacity of the buffer, on success the number
 * of bytes copied.
 */
#ifndef RX7100_CMD_H
#define RX7100_CMD_H

#include "rx_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the device information record sent with app_dev_format. */
#define RX_FORMAT_DEVINFO_LEN 288
/* Size of the caller's block sent with app_dev_format. */
#define RX_FORMAT_EXTRA_LEN 32
/* Buffer size app_ble_get_broadcast_name needs (16 characters and a NUL). */
#define RX_BLE_NAME_BUF 17

/* ---- device information, random numbers, label, LED ---- */

/* The device information record, copied whole into `buf` (3 when it is
 * longer than `cap`). */
RX_EXPORT int app_get_dev_info(void* h, unsigned char* buf, int cap);
/* The short device information record, as above. */
RX_EXPORT int app_get_dev_short_info(void* h, unsigned char* buf, int cap);
/* `len` (1 to 65536) random bytes into `buf`. An answer longer than asked
 * gives 3 and copies nothing; a shorter answer gives 1 with 0x8005 (the
 * buffer is never left partly filled with stale bytes reported as random). */
RX_EXPORT int app_gen_random(void* h, unsigned char* buf, int len);
/* Label / serial number: the NUL-terminated text is sent without its
 * terminator (an empty text cannot be sent: 1, 0x8001). */
RX_EXPORT int app_set_label(void* h, const char* label);
RX_EXPORT int app_set_serial_number(void* h, const char* serial);
/* LED `selector` (0-255) set to `value` (sent as 4 bytes big-endian). */
RX_EXPORT int app_sys_led_control(void* h, int selector, unsigned int value);

/* ---- device authentication ---- */

/* Authenticates with key `key_id` (0-255) using the caller's `len` bytes. */
RX_EXPORT int app_dev_auth(void* h, int key_id, const unsigned char* data, int len);
/* Replaces device authentication key `key_id` with the caller's key block. */
RX_EXPORT int app_change_dev_auth_key(void* h, int key_id, const unsigned char* data, int len);
/* Replaces the device authentication key (extended form). */
RX_EXPORT int app_change_dev_auth_key_ex(void* h, const unsigned char* data, int len);

/* ---- factory and maintenance ---- */

/* Formats the token: P1 = `p1`; data = "yFRPElce", the 288-byte device
 * information record `devinfo`, the 32 bytes `extra` and the bytes b1, b2. */
RX_EXPORT int app_dev_format(void* h, const unsigned char* devinfo, const unsigned char* extra,
                             int p1, unsigned char b1, unsigned char b2);
/* The file-system capacity (3 when the token answers fewer than 4 bytes). */
RX_EXPORT int app_dev_get_max_fscaps(void* h, unsigned int* capacity);
/* The device status byte (3 when the token answers no byte). */
RX_EXPORT int app_dev_get_dev_status(void* h, unsigned char* status);
/* The raw hardware serial number; `*len` in-out. */
RX_EXPORT int app_dev_get_raw_hwsn(void* h, unsigned char* buf, int* len);
/* Returns the token to its boot loader. */
RX_EXPORT int app_dev_erase_firmware(void* h);
/* Reads `*len` (1 to 65535) bytes of OEM data at `offset` (0-65535); `*len`
 * in-out (the token may answer fewer bytes). */
RX_EXPORT int app_read_oem_info(void* h, int offset, unsigned char* buf, int* len);
/* Writes `len` bytes of OEM data at `offset`. `buf` is only read; response
 * data, if the token sends any, is discarded. */
RX_EXPORT int app_write_oem_info(void* h, int offset, const unsigned char* buf, int len);
/* Locks the card OS with the caller's bytes. */
RX_EXPORT int app_dev_lock_cos(void* h, const unsigned char* data, int len);

/* ---- vendor pass-through commands ----
 *
 * Each sends a 16-byte command block (not an APDU). A failed send: 1 with
 * 0x8003. Commands without a response consume the token's acknowledgement
 * on HID devices (its outcome is not judged); failing to learn the device
 * type gives 2. For commands with a response, a failed receive stores
 * 0x8004; an empty answer where a byte is needed stores 0x8005. On success
 * the last status word is left as it was. */

RX_EXPORT int app_dev_set_vidpid(void* h, unsigned short vid, unsigned short pid);
RX_EXPORT int app_dev_set_inquiry(void* h, const unsigned char* data, int n); /* n <= 256 */
/* `name` at most 16 characters, followed on the wire by the byte `flag`. */
RX_EXPORT int app_ble_set_broadcast_name(void* h, const char* name, int flag);
/* `code` (n <= 32 bytes) is sent zero-padded to 32 bytes. */
RX_EXPORT int app_ble_set_auth_code(void* h, const unsigned char* code, int n);
RX_EXPORT int app_ble_set_logo(void* h, const unsigned char* data, int n);
RX_EXPORT int app_set_usb_name(void* h, const unsigned char* data, int n);   /* n <= 128 */
RX_EXPORT int app_ccid_set_ATR(void* h, const unsigned char* data, int n);   /* n <= 128 */
RX_EXPORT int app_dev_set_template(void* h, const unsigned char* data, int n);
/* The template into `buf`; `*n` in-out (capacity; at most 2048 bytes are
 * received). Larger than the capacity: 3, nothing copied, `*n` = the length
 * needed. A failed receive: 2 with 0x8004. */
RX_EXPORT int app_dev_get_template(void* h, unsigned char* buf, int* n);
RX_EXPORT int app_dev_lcd_show(void* h, const unsigned char* data, int n);
/* The last key pressed (the first byte of the answer). Failed or empty
 * receive: 2. */
RX_EXPORT int app_dev_btn_get_last_key(void* h, unsigned char* key);
RX_EXPORT int app_dev_set_usbvendor(void* h, const unsigned char* data, int n); /* n <= 32 */
/* The broadcast name into `buf`, which must hold RX_BLE_NAME_BUF bytes: at
 * most 16 characters and a terminator. Failed receive: 2. */
RX_EXPORT int app_ble_get_broadcast_name(void* h, char* buf);
RX_EXPORT int app_disable_cd(void* h);
RX_EXPORT int app_ble_disable_sleep(void* h, int value); /* value 0-255 */
/* `*rw` = 1 when the CD-ROM partition is writable, else 0. HID devices only
 * report it; on other devices the block is sent and `*rw` is left as it was.
 * Failed or empty receive: 3. */
RX_EXPORT int app_dev_get_rw_cd(void* h, int* rw);
RX_EXPORT int app_dev_set_rw_cd(void* h, int on);
/* Sector transfers: block byte 0 = `op`, bytes 2-5 = `lba`, bytes 7-8 =
 * `count` (0-65535), both big-endian. */
RX_EXPORT int app_dev_write_sectors(void* h, int op, unsigned int lba, int count,
                                   const unsigned char* data, int n);
/* Receives exactly `n` bytes into `buf`; failed receive, or any other
 * length: 1 (0x8004 / 0x8005). */
RX_EXPORT int app_dev_read_sectors(void* h, int op, unsigned int lba, int count,
                                   unsigned char* buf, int n);

#ifdef __cplusplus
}
#endif

#endif /* RX7100_CMD_H */
