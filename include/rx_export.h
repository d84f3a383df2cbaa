/* Symbol visibility for the exported plain C interface of librx7100_pkcs11. */
#ifndef RX_EXPORT_H
#define RX_EXPORT_H

#define RX_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define RX_EXTERN_C extern "C"
#else
#define RX_EXTERN_C
#endif

#endif
