/*
 * rx7100 command library: the exported device functions.
 *
 * Plain C interface. A device handle is an opaque pointer-sized value
 * (`void*`) handed out by app_get_first_dev / app_get_next_dev /
 * app_get_dev_by_name / app_connect_device_by_name. It is NOT the address of
 * anything: handles come from a process-wide counter and are never reused, so
 * a handle of a device that has been destroyed stays unknown forever (every
 * function then reports "unknown handle") instead of silently reaching a
 * newer device. A null handle is always unknown.
 *
 * Result convention of functions returning int, unless stated otherwise:
 * 0 success; 1 unknown handle or exchange failed. The last status word
 * (get_last_sw) holds the token's SW1 SW2 or one of the pseudo status words
 * below.
 */
#ifndef RX7100_APP_H
#define RX7100_APP_H

#include "rx_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* enmDevState. DEV_STATE_INITIAL also means "any state" as a filter. */
#define RX_DEV_STATE_PRESENT 0
#define RX_DEV_STATE_ARRIVED 1
#define RX_DEV_STATE_REMOVED 2
#define RX_DEV_STATE_INITIAL 3

/* Pseudo status words stored as the last status word. */
#define RX_SW_OK 0x9000
#define RX_SW_ENCODE_FAILED 0x8001   /* the command record could not be encoded */
#define RX_SW_UNKNOWN_HANDLE 0x8002  /* the device handle is unknown */
#define RX_SW_SEND_FAILED 0x8003     /* sending failed, or the device disappeared */
#define RX_SW_RECEIVE_FAILED 0x8004  /* receiving failed */
#define RX_SW_DECODE_FAILED 0x8005   /* the response had fewer than 2 bytes */

/* Results of the command functions (app_* that exchange a command). */
#define RX_APP_OK 0
#define RX_APP_EXCHANGE_FAILED 1
#define RX_APP_STATUS_REJECTED 2
#define RX_APP_BUFFER_TOO_SMALL 3

/* The largest response one exchange can deliver. */
#define RX_MAX_RESPONSE 2048

/* ---- discovery ---- */

/* One discovery pass with the criteria string, then the removed
 * devices are destroyed. Returns the number of device names found. */
RX_EXPORT int app_enum_device(const char* criteria);
/* One discovery pass with reconciliation; the numbers of devices marked
 * removed and created. Returns 0. */
RX_EXPORT int app_update_dev_state(int* removed, int* added, const char* criteria);
/* Deletes the devices in state RX_DEV_STATE_REMOVED. Returns 0. */
RX_EXPORT int app_destroy_removed_devs(void);

/* Iteration in discovery order; `state` RX_DEV_STATE_INITIAL (3) means any
 * state, another value selects the devices in that state. Returns the
 * device's name (set by app_set_dev_name; "" until then) and stores the
 * handle, or returns null and stores a null handle at the end. */
RX_EXPORT const char* app_get_first_dev(void** handle, int state);
RX_EXPORT const char* app_get_next_dev(void** handle, int state);

/* ---- device handles ---- */

RX_EXPORT const char* app_get_dev_name(void* handle);        /* null: unknown */
RX_EXPORT void* app_get_dev_by_name(const char* name);       /* null: no such name */
/* 1 unknown name; 2 the device's open failed; 0 and the handle. */
RX_EXPORT int app_connect_device_by_name(const char* name, void** handle);
/* 1 unknown; 2 the device's open failed; 0. */
RX_EXPORT int app_connect_device(void* handle);
/* 1 unknown; else the device's close result (0). */
RX_EXPORT int app_disconnect_device(void* handle);
RX_EXPORT int app_get_dev_state(void* handle, int* state);   /* 1 unknown, 0 */
RX_EXPORT int app_set_dev_state(void* handle, int state);    /* 1 unknown, 0 */
RX_EXPORT int app_set_dev_name(void* handle, const char* name); /* 1 unknown, 0 */
/* Type 1 for the HID transports, 0 for SCSI. 1 unknown, 0. */
RX_EXPORT int app_get_dev_type(void* handle, int* type);
RX_EXPORT int app_dev_get_type(void* handle, int* type);
/* Copies the device path (at most 255 characters and a terminator) into
 * `buf`, which must hold 256 bytes. 1 unknown, 0. */
RX_EXPORT int app_dev_get_os_path(void* handle, char* buf);
/* Null on this platform. 1 unknown, 0. */
RX_EXPORT int app_get_dev_os_handle(void* handle, void** os_handle);
/* Device and transaction locks: no-ops that succeed (serialisation is the
 * token API's process lock). 1 unknown, else 0. */
RX_EXPORT int app_lock_device(void* handle, long timeout);
RX_EXPORT int app_unlock_device(void* handle);
RX_EXPORT int app_begin_transaction(void* handle);
RX_EXPORT int app_end_transaction(void* handle);

/* Raw exchange of an already encoded command (`len` bytes, at most 1133 on
 * HID). The response is received into an internal 2048-byte buffer and then
 * copied. `*resp_len` on entry: the capacity of `resp`; on return: the
 * response length.
 *   0  success, `*resp_len` bytes copied (last status word unchanged);
 *   1  unknown handle, or sending or receiving failed: the last status word
 *      is RX_SW_SEND_FAILED (0x8003);
 *   3  RX_APP_BUFFER_TOO_SMALL: the exchange succeeded but the response does
 *      not fit (or `resp` is null): nothing copied, `*resp_len` = the length
 *      needed (last status word unchanged). The response is lost; a buffer of
 *      RX_MAX_RESPONSE bytes always suffices.
 * A null `resp_len` gives 1 without exchanging anything. */
RX_EXPORT int app_transmit(void* handle, const unsigned char* cmd, int len, unsigned char* resp,
                           int* resp_len);

/* Forwarded to the device manager's base operations, which do nothing:
 * null / 0. */
RX_EXPORT void* app_add_exist_device(const char* name, void* os_handle);
RX_EXPORT int app_delete_device(void* handle);

/* High-speed operations: forwarded; the transports of this platform report
 * size 0 and do nothing. 1 unknown, else the device's result (0). */
RX_EXPORT int app_dev_get_hs_data_size(void* handle, int* size);
RX_EXPORT int app_dev_enable_high_speed(void* handle, int enable);
RX_EXPORT int app_dev_crypt_with_high_speed(void* handle, unsigned long key, int alg, int mode,
                                            int flag1, int flag2, int flag3, unsigned char* iv,
                                            int iv_len, unsigned char* in, int in_len,
                                            unsigned char* out, int* out_len);

/* ---- process-wide values ---- */

/* The last status word: 0x9000 at load. */
RX_EXPORT int get_last_sw(void);
/* Largest data chunk per APDU for chained and streamed commands (1024 at
 * load). A value <= 0 makes chained commands fail before anything is sent. */
RX_EXPORT void set_max_transmit_len(int len);
RX_EXPORT int get_max_transmit_len(void);
/* I/O delay (4 at load); read at every exchange, not applied on Linux. */
RX_EXPORT void set_max_io_delay(int delay);
RX_EXPORT int get_max_io_delay(void);

#ifdef __cplusplus
}
#endif

#endif /* RX7100_APP_H */
