// The service's clock: real time, but a wait made on behalf of a transfer
// ends early when that transfer's device is unplugged (or the service stops),
// so a read in flight fails at once, as it does when a real token is pulled.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

#include "clock.h"

namespace vtok {
namespace svc {

class service_clock : public clock_source {
 public:
  uint64_t now_ms() override;
  void sleep_ms(unsigned ms) override;

  // The device the calling thread is transferring to (0: none). Waits made
  // by this thread end early when it goes away.
  class watch {
   public:
    explicit watch(uint64_t device);
    ~watch();
    watch(const watch&) = delete;
    watch& operator=(const watch&) = delete;
  };

  void device_gone(uint64_t device);
  // Ends every wait, now and later.
  void stop();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::set<uint64_t> gone_;
  bool stopped_ = false;
};

}  // namespace svc
}  // namespace vtok
