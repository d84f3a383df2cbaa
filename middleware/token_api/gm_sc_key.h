// Token API objects below a container or a device: session keys, MAC
// contexts and digest contexts, and the list that holds them.
#pragma once

#include <cstdint>

#include "token_api/gm_handle.h"
#include "token_api/gm_object_list.h"

// A symmetric session key held on the token under a key identifier.
class gm_sc_key : public gm_handle {
 public:
  gm_sc_key(uint32_t key_id, uint32_t alg_id);
  uint32_t get_key_id() const { return key_id_; }
  uint32_t get_alg_id() const { return alg_id_; }

 private:
  uint32_t key_id_;
  uint32_t alg_id_;
};

// A MAC context over a token session key.
class gm_sc_mac : public gm_handle {
 public:
  gm_sc_mac(uint32_t key_id, uint32_t alg_id, uint32_t cont_id);
  uint32_t get_key_id() const { return key_id_; }
  uint32_t get_alg_id() const { return alg_id_; }
  uint32_t get_cont_id() const { return cont_id_; }
  static int get_block_size() { return 16; }

 private:
  uint32_t key_id_;
  uint32_t alg_id_;
  uint32_t cont_id_;
};

// A digest context of a device; the token computes unless switched to the
// software engine.
class gm_sc_digest : public gm_handle {
 public:
  explicit gm_sc_digest(uint32_t alg_id);
  uint32_t get_alg_id() const { return alg_id_; }
  // The identifier sent to the token (4 is sent as 3).
  uint32_t get_dev_alg_id() const;
  // Digest length: 32 for 1, 3 and 4; 20 for 2; 16 for 129; else 0.
  int get_block_size() const;
  void use_software_engine() { engine_ = 0; }
  // 1: the token computes; 0: the middleware does.
  uint32_t get_engine() const { return engine_; }

 private:
  uint32_t alg_id_;
  uint32_t engine_ = 1;
};

// An owning list of handle objects of one kind.
class gm_handle_mgr : public gm_object_list<gm_handle> {
 public:
  gm_handle* get_first_handle() { return first(); }
  gm_handle* get_next_handle() { return next(); }
  gm_handle* get_by_handle(HANDLE h) const {
    return h ? find_if([h](gm_handle* o) { return o->get_handle() == h; }) : nullptr;
  }
  // Destroys the object with that handle: 0; 1 when there is none.
  int remove_by_handle(HANDLE h) {
    gm_handle* o = get_by_handle(h);
    return o ? remove(o) : 1;
  }
};
