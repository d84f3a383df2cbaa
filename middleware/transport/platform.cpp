#include "transport/platform.h"

#include <atomic>

namespace rx {
namespace plat {

namespace {
std::atomic<backend*> g_installed{nullptr};

backend& default_backend() {
  static backend& chosen = linux_backend();
  return chosen;
}
}  // namespace

backend& get() {
  backend* b = g_installed.load(std::memory_order_acquire);
  return b ? *b : default_backend();
}

void set(backend* b) { g_installed.store(b, std::memory_order_release); }

}  // namespace plat
}  // namespace rx
