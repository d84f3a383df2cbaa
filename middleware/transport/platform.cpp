#include "transport/platform.h"

#include <atomic>
#include <cstdlib>

#include "transport/vtoken_client_backend.h"

namespace rx {
namespace plat {

namespace {
std::atomic<backend*> g_installed{nullptr};

backend* choose_default() {
  const char* dir = std::getenv("RX7100_VTOKEN");
  if (dir && *dir) {
    // Lives as long as the process: threads may still call it during exit.
    static vtoken_client_backend* client = new vtoken_client_backend(dir);
    return client;
  }
  return &linux_backend();
}

backend& default_backend() {
  static backend* chosen = choose_default();
  return *chosen;
}
}  // namespace

backend& get() {
  backend* b = g_installed.load(std::memory_order_acquire);
  return b ? *b : default_backend();
}

void set(backend* b) { g_installed.store(b, std::memory_order_release); }

}  // namespace plat
}  // namespace rx
