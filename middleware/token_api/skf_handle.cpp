// SKF_CloseHandle and SKF_GetLastDevError.
#include "token_api/skf_handle.h"

#include "apdu/app_session_key.h"
#include "rx7100_app.h"
#include "skf.h"
#include "token_api/gm_sc_mgr.h"
#include "token_api/sar_map.h"
#include "token_api/skf_call.h"

namespace rx {
namespace skf {

ULONG close_handle(HANDLE h) {
  if (!h) return SAR_INVALIDHANDLEERR;
  gm_sc_dev_mgr& devs = *gm_sc_mgr::get_dev_ptr();
  gm_sc_dev* dev = nullptr;
  gm_sc_app* app = nullptr;
  gm_sc_cont* cont = nullptr;

  if (gm_sc_digest* digest = devs.find_digest(h, &dev)) {
    dev->remove_digest(digest);
    return SAR_OK;
  }
  if (gm_sc_mac* mac = devs.find_mac(h, &dev, &app, &cont)) {
    // The context goes whatever the token answers.
    app_destroy_session_key(dev->get_transport(), app->get_app_id(),
                            static_cast<int>(mac->get_cont_id()), static_cast<int>(mac->get_key_id()));
    cont->remove_mac_key(h);
    return SAR_OK;
  }
  if (gm_sc_key* key = devs.find_key(h, &dev, &app, &cont)) {
    // A key the token still holds stays valid.
    const int r = app_destroy_session_key(dev->get_transport(), app->get_app_id(),
                                          static_cast<int>(cont->get_cont_id()),
                                          static_cast<int>(key->get_key_id()));
    if (r != 0) return app_result_to_sar(r);
    cont->remove_session_key(h);
    return SAR_OK;
  }
  return SAR_INVALIDHANDLEERR;
}

}  // namespace skf
}  // namespace rx

extern "C" {

RX_EXPORT ULONG SKF_CloseHandle(HANDLE hHandle) {
  return rx::skf::skf_call([&] { return rx::skf::close_handle(hHandle); });
}

RX_EXPORT ULONG SKF_GetLastDevError(DEVHANDLE /*hDev*/) {
  return static_cast<ULONG>(get_last_sw());
}
}
