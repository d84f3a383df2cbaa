// SKF_ConnectDev and SKF_DisConnectDev.
#include <memory>
#include <new>

#include "rx7100_app.h"
#include "rx7100_cmd.h"
#include "skf.h"
#include "token_api/devinfo_convert.h"
#include "token_api/gm_sc_mgr.h"
#include "token_api/sar_map.h"
#include "token_api/skf_args.h"
#include "token_api/skf_call.h"
#include "token_api/skf_device.h"
#include "token_api/skf_device_list.h"

namespace rx {
namespace skf {

namespace {

constexpr int k_io_delay_old_hardware = 3;

enum class link { ok, unknown_name, unavailable, failed };

struct link_result {
  link kind;
  ULONG rv;  // for link::failed
};

// Opens the transport device of that name for `dev` and configures the
// command layer from the token's device information.
link_result open_and_configure(gm_sc_dev& dev, const char* name) {
  void* t = nullptr;
  const int opened = app_connect_device_by_name(name, &t);
  if (opened == 1) return {link::unknown_name, 0};
  if (opened != 0 || !t) return {link::unavailable, 0};
  dev.set_transport(t);
  dev.set_connected(1);

  unsigned char cos[k_cos_devinfo_size] = {};
  const int r = app_get_dev_info(t, cos, sizeof cos);
  if (r != RX_APP_OK) return {link::failed, app_result_to_sar(r)};

  const uint32_t len = transmit_len_for(cos_max_command_len(cos));
  dev.set_max_transmit_len(len);
  set_max_transmit_len(static_cast<int>(len));

  set_max_io_delay(cos_hw_major(cos) < 2 ? k_io_delay_old_hardware : 0);

  int hs = 0;
  if (app_dev_get_hs_data_size(t, &hs) != 0) return {link::unavailable, 0};
  dev.set_hs_size(hs > 0 ? static_cast<uint32_t>(hs) : 0);
  return {link::ok, 0};
}

}  // namespace

ULONG connect_dev(const char* name, DEVHANDLE* out) {
  if (ULONG rv = require(ptr_ok(out), name_ok(name, gm_sc_dev::k_name_size - 1))) return rv;

  std::unique_ptr<gm_sc_dev> dev(new gm_sc_dev(name));
  link_result r = open_and_configure(*dev, name);
  if (r.kind == link::unknown_name) {
    // Names are given by a listing; this token may never have been listed.
    if (app_enum_device(device_criteria().c_str()) > 0) {
      name_list names(k_enum_list_size);
      list_tokens(RX_DEV_STATE_INITIAL, names);
      r = open_and_configure(*dev, name);
    }
  }
  switch (r.kind) {
    case link::ok: break;
    case link::unknown_name:
    case link::unavailable: return SAR_DEVICE_REMOVED;
    case link::failed: return r.rv;
  }
  if (!gm_sc_mgr::get_dev_ptr()->add_dev(dev.get())) return SAR_MEMORYERR;
  *out = dev.release()->get_handle();
  return SAR_OK;
}

ULONG disconnect_dev(DEVHANDLE h) {
  gm_sc_dev_mgr& devs = *gm_sc_mgr::get_dev_ptr();
  gm_sc_dev* dev = devs.get_dev_by_handle(h);
  if (!dev) return SAR_INVALIDPARAMERR;
  devs.remove_dev(dev);
  return SAR_OK;
}

}  // namespace skf
}  // namespace rx

extern "C" {

RX_EXPORT ULONG SKF_ConnectDev(LPSTR szName, DEVHANDLE* phDev) {
  return rx::skf::skf_call([&] { return rx::skf::connect_dev(szName, phDev); });
}

RX_EXPORT ULONG SKF_DisConnectDev(DEVHANDLE hDev) {
  return rx::skf::skf_call([&] { return rx::skf::disconnect_dev(hDev); });
}

}  // extern "C"
