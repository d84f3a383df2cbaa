// SKF_EnumDev and SKF_GetDevState.
#include <cstring>

#include "rx7100_app.h"
#include "rx7100_cmd.h"
#include "skf.h"
#include "token_api/skf_args.h"
#include "token_api/skf_call.h"
#include "token_api/skf_device.h"
#include "token_api/skf_device_list.h"

namespace rx {
namespace skf {

namespace {
// A serial number of at most 32 characters and its NUL per token, and the
// list's final NUL: what a size query answers.
constexpr ULONG k_name_bound = 33;
}  // namespace

ULONG enum_dev(char* list, ULONG* size) {
  if (ULONG rv = require(ptr_ok(size))) return rv;
  const int found = app_enum_device(device_criteria().c_str());
  if (found <= 0) {
    *size = 0;
    return SAR_OK;
  }
  if (!list) {
    const ULONG bound = static_cast<ULONG>(found) * k_name_bound + 1;
    *size = bound < k_enum_list_size ? bound : static_cast<ULONG>(k_enum_list_size);
    return SAR_OK;
  }
  name_list names(k_enum_list_size);
  if (list_tokens(RX_DEV_STATE_INITIAL, names) > 0) names.terminate();
  const ULONG len = static_cast<ULONG>(names.length());
  if (*size < len) {
    *size = len;
    return SAR_BUFFER_TOO_SMALL;
  }
  std::memcpy(list, names.data(), len);
  *size = len;
  return SAR_OK;
}

ULONG get_dev_state(const char* name, ULONG* state) {
  if (ULONG rv = require(ptr_ok(name), ptr_ok(state))) return rv;
  *state = 0;
  if (name[0] == '\0') return SAR_OK;  // unnamed devices are not addressable
  void* t = app_get_dev_by_name(name);
  unsigned int capacity = 0;
  if (t && app_dev_get_max_fscaps(t, &capacity) == RX_APP_OK && capacity != 0) *state = 1;
  return SAR_OK;
}

}  // namespace skf
}  // namespace rx

extern "C" {

RX_EXPORT ULONG SKF_EnumDev(BOOL /*bPresent*/, LPSTR szNameList, ULONG* pulSize) {
  return rx::skf::skf_call([&] { return rx::skf::enum_dev(szNameList, pulSize); });
}

RX_EXPORT ULONG SKF_GetDevState(LPSTR szDevName, ULONG* pulDevState) {
  return rx::skf::skf_call([&] { return rx::skf::get_dev_state(szDevName, pulDevState); });
}

}  // extern "C"
