#include "service/service_clock.h"

#include <chrono>

namespace vtok {
namespace svc {

namespace {
thread_local uint64_t t_watched = 0;
}

service_clock::watch::watch(uint64_t device) { t_watched = device; }
service_clock::watch::~watch() { t_watched = 0; }

uint64_t service_clock::now_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void service_clock::sleep_ms(unsigned ms) {
  const uint64_t device = t_watched;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_until(lock, deadline, [&] { return stopped_ || (device != 0 && gone_.count(device) != 0); });
}

void service_clock::device_gone(uint64_t device) {
  std::lock_guard<std::mutex> lock(mu_);
  gone_.insert(device);
  cv_.notify_all();
}

void service_clock::stop() {
  std::lock_guard<std::mutex> lock(mu_);
  stopped_ = true;
  cv_.notify_all();
}

}  // namespace svc
}  // namespace vtok
