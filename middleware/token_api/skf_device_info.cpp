// SKF_GetDevInfo, VKF_GetDeviceCaps, VKF_GetDevInfo and SKF_SetLabel.
#include <cstring>

#include "rx7100_app.h"
#include "rx7100_cmd.h"
#include "skf.h"
#include "token_api/devinfo_convert.h"
#include "token_api/gm_sc_mgr.h"
#include "token_api/sar_map.h"
#include "token_api/skf_args.h"
#include "token_api/skf_call.h"
#include "token_api/skf_device.h"

namespace rx {
namespace skf {

namespace {

constexpr size_t k_label_max = 31;

ULONG read_devinfo(gm_sc_dev* dev, unsigned char* cos) {
  const int r = app_get_dev_info(dev->get_transport(), cos, static_cast<int>(k_cos_devinfo_size));
  return r == RX_APP_OK ? SAR_OK : app_result_to_sar(r);
}

// The device information of the connected device `h`: the token's answer in
// `cos` (k_cos_devinfo_size bytes) and its conversion in `*out`. `info` is
// the caller's output pointer, checked here before the token is asked.
ULONG query_devinfo(DEVHANDLE h, const DEVINFO* info, unsigned char* cos, DEVINFO* out) {
  gm_sc_dev* dev = connected_dev(h);
  if (ULONG rv = require(dev != nullptr, ptr_ok(info))) return rv;
  if (ULONG rv = read_devinfo(dev, cos)) return rv;
  cosDevinfo2Devinfo(cos, out);
  return SAR_OK;
}

// Copies a text field of at most `size` bytes: terminated when shorter.
void copy_text_field(char* out, const unsigned char* field, size_t size) {
  const size_t n = strnlen(reinterpret_cast<const char*>(field), size);
  std::memcpy(out, field, n);
  if (n < size) out[n] = '\0';
}

}  // namespace

gm_sc_dev* connected_dev(DEVHANDLE h) {
  gm_sc_dev* dev = gm_sc_mgr::get_dev_ptr()->get_dev_by_handle(h);
  return dev && dev->get_connected() == 1 ? dev : nullptr;
}

ULONG get_dev_info(DEVHANDLE h, DEVINFO* info) {
  unsigned char cos[k_cos_devinfo_size] = {};
  DEVINFO out;
  if (ULONG rv = query_devinfo(h, info, cos, &out)) return rv;
  if (cos_feature_word(cos) & k_feature_fingerprint) out.AlgHashCap |= k_fingerprint_hash_caps;
  std::memcpy(info, &out, sizeof out);
  return SAR_OK;
}

ULONG get_device_caps(DEVHANDLE h, DEVINFO* info, ULONG* caps, ULONG* feature) {
  unsigned char cos[k_cos_devinfo_size] = {};
  DEVINFO out;
  if (ULONG rv = query_devinfo(h, info, cos, &out)) return rv;
  std::memcpy(info, &out, sizeof out);
  if (caps) *caps = cos_capability_word(cos);
  if (feature) *feature = cos_feature_word(cos);
  return SAR_OK;
}

ULONG get_short_dev_info(DEVHANDLE h, char* label, char* serial) {
  gm_sc_dev* dev = connected_dev(h);
  if (ULONG rv = require(dev != nullptr, ptr_ok(label), ptr_ok(serial))) return rv;
  unsigned char info[k_short_devinfo_size] = {};
  const int r = app_get_dev_short_info(dev->get_transport(), info, sizeof info);
  if (r != RX_APP_OK) return app_result_to_sar(r);
  copy_text_field(label, info + short_devinfo::label, short_devinfo::text_size);
  copy_text_field(serial, info + short_devinfo::serial, short_devinfo::text_size);
  return SAR_OK;
}

ULONG set_label(DEVHANDLE h, const char* label) {
  gm_sc_dev* dev = connected_dev(h);
  if (ULONG rv = require(dev != nullptr, name_ok(label, k_label_max))) return rv;
  const int r = app_set_label(dev->get_transport(), label);
  return r == RX_APP_OK ? SAR_OK : app_result_to_sar(r);
}

}  // namespace skf
}  // namespace rx

extern "C" {

RX_EXPORT ULONG SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo) {
  return rx::skf::skf_call([&] { return rx::skf::get_dev_info(hDev, pDevInfo); });
}

RX_EXPORT ULONG VKF_GetDeviceCaps(DEVHANDLE hDev, DEVINFO* pDevInfo, ULONG* pulCaps,
                                  ULONG* pulFeature) {
  return rx::skf::skf_call(
      [&] { return rx::skf::get_device_caps(hDev, pDevInfo, pulCaps, pulFeature); });
}

RX_EXPORT ULONG VKF_GetDevInfo(DEVHANDLE hDev, LPSTR szLabel, LPSTR szSerial) {
  return rx::skf::skf_call([&] { return rx::skf::get_short_dev_info(hDev, szLabel, szSerial); });
}

RX_EXPORT ULONG SKF_SetLabel(DEVHANDLE hDev, LPSTR szLabel) {
  return rx::skf::skf_call([&] { return rx::skf::set_label(hDev, szLabel); });
}

}  // extern "C"
