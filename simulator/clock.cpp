#include "clock.h"

#include <chrono>
#include <thread>

namespace vtok {

uint64_t virtual_clock::now_ms() {
  std::lock_guard<std::mutex> lk(mu_);
  return now_;
}

void virtual_clock::sleep_ms(unsigned ms) { advance(ms); }

void virtual_clock::advance(uint64_t ms) {
  std::lock_guard<std::mutex> lk(mu_);
  now_ += ms;
}

uint64_t real_clock::now_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void real_clock::sleep_ms(unsigned ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace vtok
