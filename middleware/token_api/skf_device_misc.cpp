// Device locks and transactions (without the process lock) and
// SKF_Transmit.
#include <climits>

#include "rx7100_app.h"
#include "skf.h"
#include "token_api/gm_sc_mgr.h"
#include "token_api/sar_map.h"
#include "token_api/skf_args.h"
#include "token_api/skf_call.h"
#include "token_api/skf_device.h"

namespace rx {
namespace skf {

namespace {

// The longest command APDU (extended case 4 with 65535 data bytes).
constexpr ULONG k_max_command_len = 4 + 3 + 65535 + 2;

// The transport device of a device handle. The device list belongs to the
// process lock, so the lookup takes it briefly; the transport call that
// follows runs without it (the transport resolves its own handle).
bool transport_of(DEVHANDLE h, void** transport) {
  vk_auto_mutex guard(&gm_sc_mgr::g_mutex, gm_sc_mgr::k_lock_name);
  if (!guard.owns()) return false;
  gm_sc_dev* dev = gm_sc_mgr::get_dev_ptr()->get_dev_by_handle(h);
  if (!dev) return false;
  *transport = dev->get_transport();
  return true;
}

}  // namespace

ULONG transmit(DEVHANDLE h, const BYTE* cmd, ULONG cmd_len, BYTE* resp, ULONG* resp_len) {
  gm_sc_dev* dev = connected_dev(h);
  if (ULONG rv = require(dev != nullptr, ptr_ok(cmd), cmd_len > 0, len_ok(cmd_len, k_max_command_len),
                         ptr_ok(resp_len)))
    return rv;
  int n = resp ? static_cast<int>(*resp_len > INT_MAX ? INT_MAX : *resp_len) : 0;
  const int r = app_transmit(dev->get_transport(), cmd, static_cast<int>(cmd_len), resp, &n);
  if (r == RX_APP_OK) {
    *resp_len = static_cast<ULONG>(n);
    return SAR_OK;
  }
  if (r == RX_APP_BUFFER_TOO_SMALL && n >= 0) {
    *resp_len = static_cast<ULONG>(n);
    return resp ? SAR_BUFFER_TOO_SMALL : SAR_OK;
  }
  return get_last_sw_err();  // 0x8003 after a failed exchange
}

}  // namespace skf
}  // namespace rx

using rx::skf::skf_call;
using rx::skf::skf_call_unlocked;
using rx::skf::transport_of;

extern "C" {

RX_EXPORT ULONG SKF_LockDev(DEVHANDLE hDev, ULONG ulTimeOut) {
  return skf_call_unlocked([&]() -> ULONG {
    void* t = nullptr;
    if (!transport_of(hDev, &t)) return SAR_OK;
    return static_cast<ULONG>(app_lock_device(t, static_cast<long>(ulTimeOut)));
  });
}

RX_EXPORT ULONG SKF_UnlockDev(DEVHANDLE hDev) {
  return skf_call_unlocked([&]() -> ULONG {
    void* t = nullptr;
    if (transport_of(hDev, &t)) app_unlock_device(t);
    return SAR_OK;
  });
}

RX_EXPORT ULONG SKF_BeginTransaction(DEVHANDLE hDev) {
  return skf_call_unlocked([&]() -> ULONG {
    void* t = nullptr;
    if (!transport_of(hDev, &t)) return SAR_OK;
    return static_cast<ULONG>(app_begin_transaction(t));
  });
}

RX_EXPORT ULONG SKF_EndTransaction(DEVHANDLE hDev) {
  return skf_call_unlocked([&]() -> ULONG {
    void* t = nullptr;
    if (!transport_of(hDev, &t)) return SAR_OK;
    return static_cast<ULONG>(app_end_transaction(t));
  });
}

RX_EXPORT ULONG SKF_Transmit(DEVHANDLE hDev, BYTE* pbCommand, ULONG ulCommandLen, BYTE* pbData,
                             ULONG* pulDataLen) {
  return skf_call(
      [&] { return rx::skf::transmit(hDev, pbCommand, ulCommandLen, pbData, pulDataLen); });
}

}  // extern "C"
