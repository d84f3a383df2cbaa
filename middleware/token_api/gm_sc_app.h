// An open application: its name, token identifier, login state and the
// containers opened in it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "token_api/gm_handle.h"
#include "token_api/gm_object_list.h"
#include "token_api/gm_sc_cont.h"

// The 10-byte answer of the open-application command: 8 leading bytes, then
// the application identifier, big-endian.
struct AppInfoRsp {
  static constexpr size_t k_size = 10;
  unsigned char lead[8] = {};
  uint16_t app_id = 0;  // host order

  // False when fewer than k_size bytes are given.
  static bool parse(const unsigned char* data, size_t len, AppInfoRsp* out);
};

class gm_sc_app : public gm_handle {
 public:
  // Name buffer size, terminator included.
  static constexpr size_t k_name_size = 32;

  // A name that does not fit k_name_size is cut; callers check lengths
  // before they create applications.
  gm_sc_app(const char* name, const AppInfoRsp& info);
  ~gm_sc_app() override;

  const char* get_name() const { return name_; }
  uint16_t get_app_id() const { return app_id_; }
  const unsigned char* get_info_lead() const { return lead_; }

  // Login state. IsVerify() normalises the user flag to 0/1 unless the PIN
  // check flag is set, in which case the flag is returned as stored.
  uint32_t IsVerify() const;
  void set_user_logged_in(uint32_t v) { user_logged_in_ = v; }
  uint32_t get_user_logged_in() const { return user_logged_in_; }
  void set_admin_logged_in(uint32_t v) { admin_logged_in_ = v; }
  uint32_t get_admin_logged_in() const { return admin_logged_in_; }
  void set_pin_check(uint32_t v) { pin_check_ = v; }
  uint32_t get_pin_check() const { return pin_check_; }
  void set_cert_check(uint32_t v) { cert_check_ = v; }
  uint32_t get_cert_check() const { return cert_check_; }

  // A new container appended to the list; null when out of memory.
  gm_sc_cont* create_container(uint32_t cont_id, const char* name);
  // Destroys the container: 0; 1 when it is not one of ours.
  int remove_container(gm_sc_cont* cont);
  gm_sc_cont* find_container_by_name(const char* name) const;
  gm_sc_cont_mgr& containers() { return conts_; }

 private:
  char name_[k_name_size] = {};
  uint16_t app_id_;
  uint32_t user_logged_in_ = 0;
  uint32_t pin_check_ = 0;
  uint32_t cert_check_ = 1;
  uint32_t admin_logged_in_ = 0;
  unsigned char lead_[8] = {};
  uint16_t app_id2_;
  gm_sc_cont_mgr conts_;
};

class gm_sc_app_mgr : public gm_object_list<gm_sc_app> {
 public:
  gm_sc_app* get_first_app() { return first(); }
  gm_sc_app* get_next_app() { return next(); }
  // Exact, case-sensitive name comparison; the first match.
  gm_sc_app* get_app_by_name(const char* name) const;
  gm_sc_app* get_app_by_handle(HANDLE h) const;
  // Destroys every application of that name; the number destroyed.
  int remove_app_by_name(const char* name);
};
