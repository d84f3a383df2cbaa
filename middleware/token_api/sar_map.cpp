#include "token_api/sar_map.h"

#include "rx7100_app.h"

namespace rx {
namespace skf {

ULONG sw_to_sar(unsigned int sw) {
  switch (sw) {
    case 0x9000: return SAR_OK;
    case 0x6581:
    case 0x6A86:
    case 0x6E00: return SAR_UNKNOWNERR;
    case 0x6700: return SAR_INDATALENERR;
    case 0x6982: return SAR_USER_NOT_LOGGED_IN;
    case 0x6983: return SAR_PIN_LOCKED;
    case 0x6984: return SAR_INDATAERR;
    case 0x6A80: return SAR_INVALIDPARAMERR;
    case 0x6A84: return SAR_NO_ROOM;
    case 0x6A88:
    case 0x6A8B: return SAR_APPLICATION_NOT_EXISTS;
    case 0x6A89: return SAR_APPLICATION_EXISTS;
    case 0x6A8C:
    case 0x6A95: return SAR_KEYNOTFOUNTERR;
    case 0x6A91:
    case 0x6A94: return SAR_COS_6A91;
    case 0x6A92: return SAR_FILE_ALREADY_EXIST;
    case 0x6A93: return SAR_FILE_NOT_EXIST;
    case 0x6A96: return SAR_CERTNOTFOUNTERR;
    case 0x6A98: return SAR_HASHNOTEQUALERR;
    case 0x6A9A: return SAR_COS_6A9A;
    case 0x6B00: return SAR_INCORRECT_P1P2;
    case 0x6E01: return SAR_BUFFER_TOO_SMALL;
    case 0x6E02: return SAR_COS_6E02;
    case 0x6F01:
    case 0x6F0D: return SAR_FINGER_CONTINUE;
    case 0x6F02:
    case 0x6F0C: return SAR_FINGER_WAITING;
    case 0x6F09: return SAR_FINGER_EXISTS;
    case 0x6F0A: return SAR_FINGER_NONE;
    case 0x6F0B: return SAR_FINGER_6F0B;
    default: return static_cast<ULONG>(sw);
  }
}

ULONG app_result_to_sar(int result, unsigned int sw) {
  if (result == 0) return SAR_OK;
  const ULONG rv = sw_to_sar(sw);
  return rv == SAR_OK ? SAR_FAIL : rv;
}

ULONG app_result_to_sar(int result) {
  return app_result_to_sar(result, static_cast<unsigned int>(get_last_sw()));
}

}  // namespace skf
}  // namespace rx

ULONG get_last_sw_err() {
  const unsigned int sw = static_cast<unsigned int>(get_last_sw());
  if (sw == 0) return SAR_FAIL;
  return rx::skf::sw_to_sar(sw);
}
