#include "token_api/gm_sc_app.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

bool AppInfoRsp::parse(const unsigned char* data, size_t len, AppInfoRsp* out) {
  if (!data || !out || len < k_size) return false;
  std::memcpy(out->lead, data, sizeof out->lead);
  out->app_id = static_cast<uint16_t>((data[8] << 8) | data[9]);
  return true;
}

gm_sc_app::gm_sc_app(const char* name, const AppInfoRsp& info)
    : app_id_(info.app_id), app_id2_(info.app_id) {
  std::snprintf(name_, sizeof name_, "%s", name ? name : "");
  std::memcpy(lead_, info.lead, sizeof lead_);
  init_handle(HT_APPLICATION);
}

gm_sc_app::~gm_sc_app() { conts_.clear(); }

uint32_t gm_sc_app::IsVerify() const {
  if (pin_check_) return user_logged_in_;
  return user_logged_in_ ? 1 : 0;
}

gm_sc_cont* gm_sc_app::create_container(uint32_t cont_id, const char* name) {
  std::unique_ptr<gm_sc_cont> c(new (std::nothrow) gm_sc_cont(cont_id, name, app_id_));
  if (!c || !conts_.add(c.get())) return nullptr;
  return c.release();
}

int gm_sc_app::remove_container(gm_sc_cont* cont) { return conts_.remove(cont); }

gm_sc_cont* gm_sc_app::find_container_by_name(const char* name) const {
  return conts_.get_cont_by_name(name);
}

gm_sc_app* gm_sc_app_mgr::get_app_by_name(const char* name) const {
  if (!name) return nullptr;
  return find_if([name](gm_sc_app* a) { return std::strcmp(a->get_name(), name) == 0; });
}

gm_sc_app* gm_sc_app_mgr::get_app_by_handle(HANDLE h) const {
  if (!h) return nullptr;
  return find_if([h](gm_sc_app* a) { return a->get_handle() == h; });
}

int gm_sc_app_mgr::remove_app_by_name(const char* name) {
  int n = 0;
  while (gm_sc_app* a = get_app_by_name(name)) {
    remove(a);
    ++n;
  }
  return n;
}
