#include "token_api/gm_sc_mgr.h"

vk_mutex gm_sc_mgr::g_mutex;
gm_sc_dev_mgr gm_sc_mgr::_g_dev_mgr;

namespace {

gm_sc_dev* named_device(HANDLE h) {
  gm_sc_dev* dev = gm_sc_mgr::get_dev_ptr()->get_dev_by_handle(h);
  return (dev && dev->get_name()[0] != '\0') ? dev : nullptr;
}

}  // namespace

ULONG gm_sc_mgr::lock_dev(HANDLE h, long timeout) {
  gm_sc_dev* dev = named_device(h);
  if (!dev) return SAR_INVALIDPARAMERR;
  dev->lock_dev(timeout);
  return SAR_OK;
}

ULONG gm_sc_mgr::unlock_dev(HANDLE h) {
  gm_sc_dev* dev = named_device(h);
  if (!dev) return SAR_INVALIDPARAMERR;
  dev->unlock_dev();
  return SAR_OK;
}

const char* get_version() { return "Version:20200522"; }
