#include "token_api/gm_handle.h"

std::atomic<uintptr_t> gm_handle::s_nextHandle{gm_handle::k_first_handle};

void gm_handle::init_handle(HANDLE_TYPE type) {
  type_ = type;
  handle_ = generate_handle();
}

HANDLE gm_handle::generate_handle() {
  return reinterpret_cast<HANDLE>(s_nextHandle.fetch_add(1));
}
