// A read that finds nothing waits out its timeout on the bus clock. When
// the token is pulled during that wait, the read fails with NO_DEVICE, as a
// host controller fails its pending transfers, and the record says so. The
// clock here pulls the token from inside the wait, so nothing is timed.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "clock.h"
#include "faults.h"
#include "virtual_bus.h"

namespace {

using namespace rx::plat;

// A virtual clock that runs a hook (once) when someone waits on it.
class hook_clock : public vtok::clock_source {
 public:
  uint64_t now_ms() override { return inner_.now_ms(); }
  void sleep_ms(unsigned ms) override {
    inner_.sleep_ms(ms);
    if (hook_) {
      auto h = std::move(hook_);
      hook_ = nullptr;
      h();
    }
  }
  std::function<void()> hook_;

 private:
  vtok::virtual_clock inner_;
};

struct read_case {
  const char* name;
  vtok::transport_kind transport;
  bool control;  // GET_REPORT on interface 0, else an interrupt IN read
};

class PulledWait : public ::testing::TestWithParam<read_case> {
 protected:
  // One read that times out (a token with nothing to say, or a read-timeout
  // fault); `pull` chooses whether the token goes away during the wait.
  int read(bool pull, bool replug = false) {
    vtok::token_config cfg;
    cfg.transport = GetParam().transport;
    token_ = &bus_.plug(cfg);
    if (GetParam().control) {
      vtok::fault_spec f;
      f.kind = vtok::fault_kind::read_timeout;
      token_->arm_fault(f);
    }
    uint64_t dev = 0;
    for (const auto& d : bus_.list_devices())
      if (d.is_token) dev = d.id;
    uint32_t h = 0;
    EXPECT_EQ(bus_.open(0, dev, &h), USB_SUCCESS);
    EXPECT_EQ(bus_.detach_kernel_driver(0, h, 0), USB_SUCCESS);
    EXPECT_EQ(bus_.claim_interface(0, h, 0), USB_SUCCESS);
    const std::string serial = token_->serial();
    if (pull) {
      clock_.hook_ = [this, serial, replug] {
        if (replug)
          bus_.replug(serial, true);
        else
          bus_.unplug(serial);
      };
    }
    started_ = clock_.now_ms();
    uint8_t buf[64] = {0};
    if (GetParam().control) return bus_.control_transfer(0, h, 0xA1, 0x01, 0x0100, 0, buf, 64, 3000);
    int done = -1;
    const int rc = bus_.interrupt_transfer(0, h, 0x81, buf, 64, &done, 3000);
    EXPECT_EQ(done, 0);
    return rc;
  }
  vtok::transfer_entry last_read() {
    const auto rec = token_->record();
    for (auto it = rec.rbegin(); it != rec.rend(); ++it)
      if (it->what == vtok::transfer_entry::kind::interrupt_in || it->what == vtok::transfer_entry::kind::control_in)
        return *it;
    ADD_FAILURE() << "no read in the record";
    return {};
  }

  hook_clock clock_;
  vtok::virtual_bus bus_{clock_};
  vtok::token* token_ = nullptr;
  uint64_t started_ = 0;
};

TEST_P(PulledWait, AReadWithNothingToDeliverTimesOut) {
  EXPECT_EQ(read(/*pull=*/false), USB_ERROR_TIMEOUT);
  const vtok::transfer_entry e = last_read();
  EXPECT_EQ(e.result, USB_ERROR_TIMEOUT);
  EXPECT_EQ(e.timeout_ms, 3000u);
  EXPECT_EQ(e.time_ms, started_);  // stamped when the read began
  EXPECT_EQ(clock_.now_ms(), started_ + 3000);
}

TEST_P(PulledWait, PulledDuringTheWaitTheReadFailsWithNoDeviceAndTheRecordSaysSo) {
  EXPECT_EQ(read(/*pull=*/true), USB_ERROR_NO_DEVICE);
  const vtok::transfer_entry e = last_read();
  EXPECT_EQ(e.result, USB_ERROR_NO_DEVICE);
  EXPECT_EQ(e.time_ms, started_);
  EXPECT_FALSE(token_->plugged());
}

TEST_P(PulledWait, RepluggedDuringTheWaitIsANewDeviceForTheOldHandle) {
  EXPECT_EQ(read(/*pull=*/true, /*replug=*/true), USB_ERROR_NO_DEVICE);
  EXPECT_EQ(last_read().result, USB_ERROR_NO_DEVICE);
  EXPECT_TRUE(token_->plugged());
}

const read_case kReads[] = {
    {"hid_interrupt_in", vtok::transport_kind::hid, false},
    {"hidctr_get_report", vtok::transport_kind::hidctr, true},
};

INSTANTIATE_TEST_SUITE_P(Reads, PulledWait, ::testing::ValuesIn(kReads),
                         [](const ::testing::TestParamInfo<read_case>& i) { return std::string(i.param.name); });

}  // namespace
