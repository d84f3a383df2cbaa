// Clocks for the virtual token. The bus stamps its transfer record with
// them and waits through them when a read finds nothing to deliver.
#pragma once

#include <cstdint>
#include <mutex>

namespace vtok {

class clock_source {
 public:
  virtual ~clock_source() = default;
  virtual uint64_t now_ms() = 0;
  virtual void sleep_ms(unsigned ms) = 0;
};

// Sleeping advances the time and returns at once; thread-safe.
class virtual_clock : public clock_source {
 public:
  uint64_t now_ms() override;
  void sleep_ms(unsigned ms) override;
  void advance(uint64_t ms);

 private:
  std::mutex mu_;
  uint64_t now_ = 1000000;
};

// The system's monotonic clock; sleeping really waits.
class real_clock : public clock_source {
 public:
  uint64_t now_ms() override;
  void sleep_ms(unsigned ms) override;
};

}  // namespace vtok
