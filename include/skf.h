/*
 * Token API: the exported SKF_* functions and the VKF_* vendor extensions.
 *
 * Every function returns a 32-bit result code (skf_types.h): SAR_OK, another
 * SAR_* code, or a token status word that has no SAR_* equivalent, passed
 * through unchanged (for example 0x6A8D).
 *
 * Calls are serialised across the threads of a process and across processes
 * by one named lock. A function of this interface must not be called from a
 * callback running inside another one.
 */
#ifndef SKF_H
#define SKF_H

#include "rx_export.h"
#include "skf_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Closes a digest context, a MAC context or a session key. Device,
 * application and container handles are closed by their own functions and
 * give SAR_INVALIDHANDLEERR here, as do 0 and handles already closed. A
 * session key the token refuses to destroy stays valid. */
RX_EXPORT ULONG SKF_CloseHandle(HANDLE hHandle);

/* The last status word any command of this process received (or a pseudo
 * status word 0x8001..0x8005 of a failed exchange). The argument is not
 * used. Takes no lock. */
RX_EXPORT ULONG SKF_GetLastDevError(DEVHANDLE hDev);

/* ---- configuration ---- */

/* The device criteria string every discovery and device-event wait uses
 * (1024 bytes; a host may overwrite it before use, terminated). */
#define SKF_DEVICE_CRITERIA_SIZE 1024
RX_EXPORT extern char g_szDeviceID[SKF_DEVICE_CRITERIA_SIZE];
/* The OEM filter of the token listing (64 bytes, terminated): "*" accepts
 * every token; otherwise a comma-separated list of accepted OEM
 * identifiers (the first 5 entries, each of at most 31 characters, count).
 * A token without OEM information is always accepted. */
#define SKF_OEM_FILTER_SIZE 64
RX_EXPORT extern char g_szOEMID[SKF_OEM_FILTER_SIZE];

/* ---- devices ---- */

/* Lists the tokens present as names (their serial numbers), each followed
 * by a NUL, the whole list by one more NUL. bPresent is not used. No token:
 * *pulSize = 0 and szNameList is not touched. szNameList NULL: *pulSize
 * receives an upper bound of the length. A *pulSize shorter than the list:
 * SAR_BUFFER_TOO_SMALL with the length needed. Tokens whose OEM information
 * g_szOEMID refuses are not listed. */
RX_EXPORT ULONG SKF_EnumDev(BOOL bPresent, LPSTR szNameList, ULONG* pulSize);

/* Connects the token of that name (listing the tokens first when the name
 * is not known yet) and returns a new device handle; every call makes a
 * new handle, also for a name already connected. SAR_DEVICE_REMOVED when no
 * such token is present or it cannot be opened. */
RX_EXPORT ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev);
/* Closes the device handle and every handle opened below it. */
RX_EXPORT ULONG SKF_DisConnectDev(DEVHANDLE hDev);
/* *pulDevState: 1 when the token of that name is known and answers, else 0.
 * No discovery is run. */
RX_EXPORT ULONG SKF_GetDevState(LPSTR szDevName, ULONG* pulDevState);

/* Blocks until a token arrives or leaves (other calls of this interface
 * run meanwhile). On SAR_OK szDevName holds the names concerned, each
 * followed by a NUL, plus a final NUL; *pulDevNameLen their length with
 * that final NUL; *pulEvent DEV_EVENT_ARRIVED or DEV_EVENT_REMOVED. A
 * buffer too short for the list and its final NUL: SAR_BUFFER_TOO_SMALL
 * with the length needed (the event is consumed). SAR_NOT_EVENTERR when the
 * wait was cancelled; SAR_INVALIDPARAMERR at once when g_szDeviceID is not
 * a usable criteria string. */
RX_EXPORT ULONG SKF_WaitForDevEvent(LPSTR szDevName, ULONG* pulDevNameLen, ULONG* pulEvent);
/* Ends a running SKF_WaitForDevEvent (it returns SAR_NOT_EVENTERR); returns
 * after about two seconds. A cancel before the wait starts is lost. */
RX_EXPORT ULONG SKF_CancelWaitForDevEvent(void);

/* The device information record of the token. */
RX_EXPORT ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo);
/* Writes the label (1 to 31 bytes). */
RX_EXPORT ULONG SKF_SetLabel(DEVHANDLE hDev, LPSTR szLabel);

/* Exclusive use of the device for this process (no process lock). An
 * unknown handle gives SAR_OK. */
RX_EXPORT ULONG SKF_LockDev(DEVHANDLE hDev, ULONG ulTimeOut);
RX_EXPORT ULONG SKF_UnlockDev(DEVHANDLE hDev);
RX_EXPORT ULONG SKF_BeginTransaction(DEVHANDLE hDev);
RX_EXPORT ULONG SKF_EndTransaction(DEVHANDLE hDev);

/* Sends the command bytes unchanged and returns the token's response (data
 * and status word, not interpreted). pbData NULL: the command is still
 * exchanged and *pulDataLen receives the response length. A response
 * longer than *pulDataLen: SAR_BUFFER_TOO_SMALL with the length needed
 * (the response is lost). A failed exchange returns 0x00008003. */
RX_EXPORT ULONG SKF_Transmit(DEVHANDLE hDev, BYTE* pbCommand, ULONG ulCommandLen, BYTE* pbData,
                             ULONG* pulDataLen);

/* The label (bytes 0-31) and the serial number (32-63) of the token's
 * short device information. At most 32 bytes are written to each buffer:
 * a shorter text is terminated, a 32-byte text is not. */
RX_EXPORT ULONG VKF_GetDevInfo(DEVHANDLE hDev, LPSTR szLabel, LPSTR szSerial);
/* As SKF_GetDevInfo without the fingerprint bits in AlgHashCap, plus the
 * token's capability word and feature word (bit 1: fingerprint sensor);
 * either pointer may be NULL. */
RX_EXPORT ULONG VKF_GetDeviceCaps(DEVHANDLE hDev, DEVINFO* pDevInfo, ULONG* pulCaps,
                                  ULONG* pulFeature);

#ifdef __cplusplus
}
#endif

#endif /* SKF_H */
