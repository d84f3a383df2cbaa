#include "vtok_fixture.h"

#include "transport/platform.h"

vtok_env::vtok_env(bool plug_token, const vtok::token_config& cfg) {
  if (plug_token) token = &bus.plug(cfg);
  rx::plat::set(&backend);
}

vtok_env::~vtok_env() { rx::plat::set(nullptr); }
