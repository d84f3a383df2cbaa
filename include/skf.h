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

#ifdef __cplusplus
}
#endif

#endif /* SKF_H */
