// A container of an open application: its name and token identifier, and
// the session keys and MAC contexts opened in it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "token_api/gm_handle.h"
#include "token_api/gm_object_list.h"
#include "token_api/gm_sc_key.h"

class gm_sc_cont : public gm_handle {
 public:
  // Name buffer size, terminator included.
  static constexpr size_t k_name_size = 128;

  // A name that does not fit k_name_size is cut; callers check lengths
  // before they create containers.
  gm_sc_cont(uint32_t cont_id, const char* name, uint32_t app_id);
  ~gm_sc_cont() override;

  const char* get_name() const { return name_; }
  uint32_t get_cont_id() const { return cont_id_; }
  uint32_t get_app_id() const { return app_id_; }

  // New objects appended to their lists; null when out of memory (nothing
  // is inserted then).
  gm_sc_key* create_session_key(uint32_t key_id, uint32_t alg_id);
  gm_sc_mac* create_mac_key(uint32_t key_id, uint32_t alg_id);
  // Destroy by handle: 0; 1 when there is none.
  int remove_session_key(HANDLE h);
  int remove_mac_key(HANDLE h);
  // Destroys every session key and MAC context.
  void clear_keys();

  gm_sc_key* find_key(HANDLE h) const;
  gm_sc_mac* find_mac(HANDLE h) const;
  gm_handle_mgr& keys() { return keys_; }
  gm_handle_mgr& macs() { return macs_; }

 private:
  char name_[k_name_size] = {};
  uint32_t cont_id_;
  gm_handle_mgr keys_;
  gm_handle_mgr macs_;
  uint32_t app_id_;
};

class gm_sc_cont_mgr : public gm_object_list<gm_sc_cont> {
 public:
  gm_sc_cont* get_first_cont() { return first(); }
  gm_sc_cont* get_next_cont() { return next(); }
  // Exact, case-sensitive name comparison; the first match.
  gm_sc_cont* get_cont_by_name(const char* name) const;
  gm_sc_cont* get_cont_by_handle(HANDLE h) const;
  // Destroys every container of that name; the number destroyed.
  int remove_cont(const char* name);
};
