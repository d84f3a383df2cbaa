// A connected device of the token API, and the list of devices that every
// handle search starts from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "token_api/gm_handle.h"
#include "token_api/gm_object_list.h"
#include "token_api/gm_sc_app.h"
#include "token_api/gm_sc_key.h"

class gm_sc_dev : public gm_handle {
 public:
  // Name buffer size, terminator included.
  static constexpr size_t k_name_size = 264;
  static constexpr uint32_t k_default_max_transmit_len = 1024;

  // `transport` is the command layer's device handle (may be set later).
  // A name that does not fit k_name_size is cut; callers check lengths.
  explicit gm_sc_dev(const char* name, void* transport = nullptr);
  ~gm_sc_dev() override;

  const char* get_name() const { return name_; }
  void* get_transport() const { return transport_; }
  void set_transport(void* t) { transport_ = t; }
  uint32_t get_authenticated() const { return authenticated_; }
  void set_authenticated(uint32_t v) { authenticated_ = v; }
  uint32_t get_connected() const { return connected_; }
  void set_connected(uint32_t v) { connected_ = v; }
  uint32_t get_max_transmit_len() const { return max_transmit_len_; }
  void set_max_transmit_len(uint32_t v) { max_transmit_len_ = v; }
  uint32_t get_hs_size() const { return hs_size_; }
  void set_hs_size(uint32_t v) { hs_size_ = v; }
  bool if_support_hs() const { return hs_size_ > max_transmit_len_; }

  // Applications and digest contexts (owned).
  gm_sc_app* create_app(const AppInfoRsp& info, const char* name);
  int remove_app(gm_sc_app* app);
  gm_sc_app* find_app_by_name(const char* name) const;
  gm_sc_digest* create_digest(uint32_t alg_id);
  int remove_digest(gm_sc_digest* digest);
  gm_sc_digest* find_digest(HANDLE h) const;
  gm_sc_app_mgr& apps() { return apps_; }
  gm_handle_mgr& digests() { return digests_; }

  // The first session key of the first container of the first application
  // (also yields those two); null when there is none there.
  gm_sc_key* get_first_key(gm_sc_app** app, gm_sc_cont** cont) const;

  // Direct calls of the command layer with the transport device.
  int lock_dev(long timeout);
  int unlock_dev();
  int begin_transaction();
  int end_transaction();
  // Copies the device path into `buffer` (256 bytes): 0, or 1.
  int get_dev_os_path(char* buffer);
  void* get_dev_os_handle();
  // 1 for the HID transports, 0 for SCSI, -1 unknown.
  int get_interface_type();

 private:
  char name_[k_name_size] = {};
  void* transport_;
  uint32_t authenticated_ = 0;
  uint32_t connected_ = 0;
  uint32_t max_transmit_len_ = k_default_max_transmit_len;
  uint32_t hs_size_ = 0;
  gm_sc_app_mgr apps_;
  gm_handle_mgr digests_;
};

class gm_sc_dev_mgr : public gm_object_list<gm_sc_dev> {
 public:
  gm_sc_dev* get_first_dev() { return first(); }
  gm_sc_dev* get_next_dev() { return next(); }
  bool add_dev(gm_sc_dev* dev) { return add(dev); }
  int remove_dev(gm_sc_dev* dev) { return remove(dev); }

  // Handle searches; devices in connection order, children in creation
  // order, first match. The out-parameters (each may be null) receive the
  // owners of the object found and are left alone otherwise.
  gm_sc_dev* get_dev_by_handle(HANDLE h) const;
  gm_sc_app* find_app(HANDLE h, gm_sc_dev** dev) const;
  gm_sc_cont* find_container(HANDLE h, gm_sc_dev** dev, gm_sc_app** app) const;
  gm_sc_key* find_key(HANDLE h, gm_sc_dev** dev, gm_sc_app** app, gm_sc_cont** cont) const;
  gm_sc_mac* find_mac(HANDLE h, gm_sc_dev** dev, gm_sc_app** app, gm_sc_cont** cont) const;
  gm_sc_digest* find_digest(HANDLE h, gm_sc_dev** dev) const;
};
