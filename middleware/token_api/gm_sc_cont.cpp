#include "token_api/gm_sc_cont.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Constructs the object and hands it to the list, or leaves the list
// unchanged.
template <class T, class... Args>
T* append(gm_handle_mgr& list, Args... args) {
  std::unique_ptr<T> obj(new (std::nothrow) T(args...));
  if (!obj || !list.add(obj.get())) return nullptr;
  return obj.release();
}

}  // namespace

gm_sc_cont::gm_sc_cont(uint32_t cont_id, const char* name, uint32_t app_id)
    : cont_id_(cont_id), app_id_(app_id) {
  std::snprintf(name_, sizeof name_, "%s", name ? name : "");
  init_handle(HT_CONTAINER);
}

gm_sc_cont::~gm_sc_cont() { clear_keys(); }

gm_sc_key* gm_sc_cont::create_session_key(uint32_t key_id, uint32_t alg_id) {
  return append<gm_sc_key>(keys_, key_id, alg_id);
}

gm_sc_mac* gm_sc_cont::create_mac_key(uint32_t key_id, uint32_t alg_id) {
  return append<gm_sc_mac>(macs_, key_id, alg_id, cont_id_);
}

int gm_sc_cont::remove_session_key(HANDLE h) { return keys_.remove_by_handle(h); }
int gm_sc_cont::remove_mac_key(HANDLE h) { return macs_.remove_by_handle(h); }

void gm_sc_cont::clear_keys() {
  keys_.clear();
  macs_.clear();
}

gm_sc_key* gm_sc_cont::find_key(HANDLE h) const {
  return dynamic_cast<gm_sc_key*>(keys_.get_by_handle(h));
}

gm_sc_mac* gm_sc_cont::find_mac(HANDLE h) const {
  return dynamic_cast<gm_sc_mac*>(macs_.get_by_handle(h));
}

gm_sc_cont* gm_sc_cont_mgr::get_cont_by_name(const char* name) const {
  if (!name) return nullptr;
  return find_if([name](gm_sc_cont* c) { return std::strcmp(c->get_name(), name) == 0; });
}

gm_sc_cont* gm_sc_cont_mgr::get_cont_by_handle(HANDLE h) const {
  if (!h) return nullptr;
  return find_if([h](gm_sc_cont* c) { return c->get_handle() == h; });
}

int gm_sc_cont_mgr::remove_cont(const char* name) {
  int n = 0;
  while (gm_sc_cont* c = get_cont_by_name(name)) {
    remove(c);
    ++n;
  }
  return n;
}
