/*
 * Token API (GM/T 0016-2012) base types and result codes for 64-bit Linux.
 *
 * ULONG is a 32-bit unsigned integer on this platform; handles are
 * pointer-sized opaque values (small integers, never addresses).
 */
#ifndef SKF_TYPES_H
#define SKF_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- base types ---- */

typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef int32_t BOOL;

typedef UINT8 BYTE;
typedef char CHAR;
typedef INT16 SHORT;
typedef UINT16 USHORT;
typedef INT32 LONG;
typedef UINT32 ULONG;
typedef UINT32 UINT;
typedef UINT16 WORD;
typedef UINT32 DWORD;
typedef UINT32 FLAGS;
typedef CHAR* LPSTR;

typedef void* HANDLE;
typedef HANDLE DEVHANDLE;
typedef HANDLE HAPPLICATION;
typedef HANDLE HCONTAINER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define ADMIN_TYPE 0
#define USER_TYPE 1

/* ---- result codes ---- */

#define SAR_OK 0x00000000u
#define SAR_FAIL 0x0A000001u
#define SAR_UNKNOWNERR 0x0A000002u
#define SAR_NOTSUPPORTYETERR 0x0A000003u
#define SAR_FILEERR 0x0A000004u
#define SAR_INVALIDHANDLEERR 0x0A000005u
#define SAR_INVALIDPARAMERR 0x0A000006u
#define SAR_READFILEERR 0x0A000007u
#define SAR_WRITEFILEERR 0x0A000008u
#define SAR_NAMELENERR 0x0A000009u
#define SAR_KEYUSAGEERR 0x0A00000Au
#define SAR_MODULUSLENERR 0x0A00000Bu
#define SAR_NOTINITIALIZEERR 0x0A00000Cu
#define SAR_OBJERR 0x0A00000Du
#define SAR_MEMORYERR 0x0A00000Eu
#define SAR_TIMEOUTERR 0x0A00000Fu
#define SAR_INDATALENERR 0x0A000010u
#define SAR_INDATAERR 0x0A000011u
#define SAR_GENRANDERR 0x0A000012u
#define SAR_HASHOBJERR 0x0A000013u
#define SAR_HASHERR 0x0A000014u
#define SAR_GENRSAKEYERR 0x0A000015u
#define SAR_RSAMODULUSLENERR 0x0A000016u
#define SAR_CSPIMPRTPUBKEYERR 0x0A000017u
#define SAR_RSAENCERR 0x0A000018u
#define SAR_RSADECERR 0x0A000019u
#define SAR_HASHNOTEQUALERR 0x0A00001Au
#define SAR_KEYNOTFOUNTERR 0x0A00001Bu
#define SAR_CERTNOTFOUNTERR 0x0A00001Cu
#define SAR_NOTEXPORTERR 0x0A00001Du
#define SAR_DECRYPTPADERR 0x0A00001Eu
#define SAR_MACLENERR 0x0A00001Fu
#define SAR_BUFFER_TOO_SMALL 0x0A000020u
#define SAR_KEYINFOTYPEERR 0x0A000021u
#define SAR_NOT_EVENTERR 0x0A000022u
#define SAR_DEVICE_REMOVED 0x0A000023u
#define SAR_PIN_INCORRECT 0x0A000024u
#define SAR_PIN_LOCKED 0x0A000025u
#define SAR_PIN_INVALID 0x0A000026u
#define SAR_PIN_LEN_RANGE 0x0A000027u
#define SAR_USER_ALREADY_LOGGED_IN 0x0A000028u
#define SAR_USER_PIN_NOT_INITIALIZED 0x0A000029u
#define SAR_USER_TYPE_INVALID 0x0A00002Au
#define SAR_APPLICATION_NAME_INVALID 0x0A00002Bu
#define SAR_APPLICATION_EXISTS 0x0A00002Cu
#define SAR_USER_NOT_LOGGED_IN 0x0A00002Du
#define SAR_APPLICATION_NOT_EXISTS 0x0A00002Eu
#define SAR_FILE_ALREADY_EXIST 0x0A00002Fu
#define SAR_NO_ROOM 0x0A000030u
#define SAR_FILE_NOT_EXIST 0x0A000031u
#define SAR_REACH_MAX_CONTAINER_COUNT 0x0A000032u

/* Vendor codes. */
#define SAR_USER_NOT_VERIFIED 0x0B000033u
#define SAR_INCORRECT_P1P2 0x0B000034u
#define SAR_COS_6A91 0x0B000035u
#define SAR_COS_6E02 0x0B000036u
#define SAR_COS_6A9A 0x0B000038u
#define SAR_FINGER_CONTINUE 0x0B000039u
#define SAR_FINGER_WAITING 0x0B000040u
#define SAR_FINGER_EXISTS 0x0C000001u
#define SAR_FINGER_NONE 0x0C000002u
#define SAR_FINGER_6F0B 0x0C000003u


/* ---- device information ---- */

#pragma pack(push, 1)

typedef struct Struct_Version {
  BYTE major;
  BYTE minor;
} VERSION;

/* Device information record (294 bytes, packed, numbers in host order).
 * Texts are zero padded and not terminated when they fill their field. */
typedef struct Struct_DEVINFO {
  VERSION Version;
  CHAR Manufacturer[64];
  CHAR Issuer[64];
  CHAR Label[32];
  CHAR SerialNumber[32];
  VERSION HWVersion;
  VERSION FirmwareVersion;
  ULONG AlgSymCap;
  ULONG AlgAsymCap;
  ULONG AlgHashCap;
  ULONG DevAuthAlgId;
  ULONG TotalSpace;
  ULONG FreeSpace;
  ULONG MaxECCBufferSize;
  ULONG MaxBufferSize;
  BYTE Reserved[64];
} DEVINFO, *PDEVINFO;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(DEVINFO) == 294, "DEVINFO is 294 bytes");
#endif

/* Device events of SKF_WaitForDevEvent. */
#define DEV_EVENT_ARRIVED 1
#define DEV_EVENT_REMOVED 2

#ifdef __cplusplus
}
#endif

#endif /* SKF_TYPES_H */
