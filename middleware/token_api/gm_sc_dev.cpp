#include "token_api/gm_sc_dev.h"

#include <cstdio>
#include <memory>
#include <new>

#include "rx7100_app.h"

gm_sc_dev::gm_sc_dev(const char* name, void* transport) : transport_(transport) {
  std::snprintf(name_, sizeof name_, "%s", name ? name : "");
  init_handle(HT_DEVICE);
}

gm_sc_dev::~gm_sc_dev() {
  apps_.clear();
  digests_.clear();
}

gm_sc_app* gm_sc_dev::create_app(const AppInfoRsp& info, const char* name) {
  std::unique_ptr<gm_sc_app> a(new (std::nothrow) gm_sc_app(name, info));
  if (!a || !apps_.add(a.get())) return nullptr;
  return a.release();
}

int gm_sc_dev::remove_app(gm_sc_app* app) { return apps_.remove(app); }

gm_sc_app* gm_sc_dev::find_app_by_name(const char* name) const { return apps_.get_app_by_name(name); }

gm_sc_digest* gm_sc_dev::create_digest(uint32_t alg_id) {
  std::unique_ptr<gm_sc_digest> d(new (std::nothrow) gm_sc_digest(alg_id));
  if (!d || !digests_.add(d.get())) return nullptr;
  return d.release();
}

int gm_sc_dev::remove_digest(gm_sc_digest* digest) { return digests_.remove(digest); }

gm_sc_digest* gm_sc_dev::find_digest(HANDLE h) const {
  return dynamic_cast<gm_sc_digest*>(digests_.get_by_handle(h));
}

gm_sc_key* gm_sc_dev::get_first_key(gm_sc_app** app, gm_sc_cont** cont) const {
  gm_sc_app* a = apps_.find_if([](gm_sc_app*) { return true; });
  if (!a) return nullptr;
  gm_sc_cont* c = a->containers().find_if([](gm_sc_cont*) { return true; });
  if (!c) return nullptr;
  gm_sc_key* k = dynamic_cast<gm_sc_key*>(c->keys().find_if([](gm_handle*) { return true; }));
  if (!k) return nullptr;
  if (app) *app = a;
  if (cont) *cont = c;
  return k;
}

int gm_sc_dev::lock_dev(long timeout) { return app_lock_device(transport_, timeout); }
int gm_sc_dev::unlock_dev() { return app_unlock_device(transport_); }
int gm_sc_dev::begin_transaction() { return app_begin_transaction(transport_); }
int gm_sc_dev::end_transaction() { return app_end_transaction(transport_); }

int gm_sc_dev::get_dev_os_path(char* buffer) {
  if (!buffer) return 1;
  return app_dev_get_os_path(transport_, buffer) == 0 ? 0 : 1;
}

void* gm_sc_dev::get_dev_os_handle() {
  void* os = nullptr;
  return app_get_dev_os_handle(transport_, &os) == 0 ? os : nullptr;
}

int gm_sc_dev::get_interface_type() {
  int type = -1;
  return app_get_dev_type(transport_, &type) == 0 ? type : -1;
}

// ---- searches ----

gm_sc_dev* gm_sc_dev_mgr::get_dev_by_handle(HANDLE h) const {
  if (!h) return nullptr;
  return find_if([h](gm_sc_dev* d) { return d->get_handle() == h; });
}

gm_sc_app* gm_sc_dev_mgr::find_app(HANDLE h, gm_sc_dev** dev) const {
  if (!h) return nullptr;
  gm_sc_app* found = nullptr;
  find_if([&](gm_sc_dev* d) {
    found = d->apps().get_app_by_handle(h);
    if (found && dev) *dev = d;
    return found != nullptr;
  });
  return found;
}

gm_sc_cont* gm_sc_dev_mgr::find_container(HANDLE h, gm_sc_dev** dev, gm_sc_app** app) const {
  if (!h) return nullptr;
  gm_sc_cont* found = nullptr;
  find_if([&](gm_sc_dev* d) {
    d->apps().find_if([&](gm_sc_app* a) {
      found = a->containers().get_cont_by_handle(h);
      if (found) {
        if (dev) *dev = d;
        if (app) *app = a;
      }
      return found != nullptr;
    });
    return found != nullptr;
  });
  return found;
}

namespace {

// Walks every container of every application of every device until `probe`
// returns an object.
template <class T, class Probe>
T* search_containers(const gm_sc_dev_mgr& devs, gm_sc_dev** dev, gm_sc_app** app,
                     gm_sc_cont** cont, Probe probe) {
  T* found = nullptr;
  devs.find_if([&](gm_sc_dev* d) {
    d->apps().find_if([&](gm_sc_app* a) {
      a->containers().find_if([&](gm_sc_cont* c) {
        found = probe(c);
        if (found) {
          if (dev) *dev = d;
          if (app) *app = a;
          if (cont) *cont = c;
        }
        return found != nullptr;
      });
      return found != nullptr;
    });
    return found != nullptr;
  });
  return found;
}

}  // namespace

gm_sc_key* gm_sc_dev_mgr::find_key(HANDLE h, gm_sc_dev** dev, gm_sc_app** app,
                                   gm_sc_cont** cont) const {
  if (!h) return nullptr;
  return search_containers<gm_sc_key>(*this, dev, app, cont,
                                      [h](gm_sc_cont* c) { return c->find_key(h); });
}

gm_sc_mac* gm_sc_dev_mgr::find_mac(HANDLE h, gm_sc_dev** dev, gm_sc_app** app,
                                   gm_sc_cont** cont) const {
  if (!h) return nullptr;
  return search_containers<gm_sc_mac>(*this, dev, app, cont,
                                      [h](gm_sc_cont* c) { return c->find_mac(h); });
}

gm_sc_digest* gm_sc_dev_mgr::find_digest(HANDLE h, gm_sc_dev** dev) const {
  if (!h) return nullptr;
  gm_sc_digest* found = nullptr;
  find_if([&](gm_sc_dev* d) {
    found = d->find_digest(h);
    if (found && dev) *dev = d;
    return found != nullptr;
  });
  return found;
}
