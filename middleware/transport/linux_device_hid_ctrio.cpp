#include "transport/linux_device_hid_ctrio.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "transport/hid_frame.h"
#include "transport/hid_raw.h"
#include "transport/hid_usb.h"

using namespace rx;
using plat::backend;

namespace {
constexpr int kClaimRetries = 10;

// HID class requests to interface 0.
constexpr uint8_t kReqTypeOut = 0x21;  // class, interface, host to device
constexpr uint8_t kReqTypeIn = 0xA1;   // class, interface, device to host
constexpr uint8_t kSetReport = 0x09;
constexpr uint8_t kGetReport = 0x01;

// Timeouts that stand in for a communication timeout of 0.
constexpr int kDefaultWriteTimeout = 2000;
constexpr int kDefaultReadTimeout = 20000;

// Back-off after an empty report: n x 20 ms, n running 2, 3, ..., 10, 1, ...
constexpr unsigned kBackoffStepMs = 20;
constexpr int kBackoffSteps = 10;
// Reassembly deadline: twice the report timeout, and never less than the
// read default, so a token computing a key gets the time the back-off is
// meant to give it while one that only ever answers empty reports cannot
// hold the caller forever.
constexpr uint64_t kMinReassemblyMs = 20000;
}  // namespace

linux_device_hid_ctrio::linux_device_hid_ctrio(const char* path) : usb_hid_device(path) {}

bool linux_device_hid_ctrio::find_device(const std::vector<plat::usb_device_ref>& list,
                                         size_t index) {
  backend& be = plat::get();
  plat::usb_device_descriptor desc;
  if (be.usb_get_device_descriptor(list[index].get(), &desc) != 0) return false;
  char path[64];
  hid::format_path(path, sizeof(path), true, desc.idVendor, desc.idProduct,
                   hid::path_address(be, list, index));
  return std::strcmp(path, path_) == 0;
}

int linux_device_hid_ctrio::cmd_write(const uint8_t* chunk, int len, bool first, bool last) {
  if (len < 0 || len > hid::kChunk || (len > 0 && !chunk)) return 1;
  if (comm_timeout_ <= 0) comm_timeout_ = kDefaultWriteTimeout;  // kept for the reads too
  uint8_t report[hid::kReportSize] = {0};
  report[0] = static_cast<uint8_t>(len | (first ? hid::kFlagFirst : 0) | (last ? hid::kFlagLast : 0));
  if (len > 0) std::memcpy(report + 1, chunk, static_cast<size_t>(len));
  int r = plat::get().usb_control_transfer(handle_, kReqTypeOut, kSetReport, 0, 0, report,
                                          hid::kReportSize, static_cast<unsigned>(comm_timeout_));
  // A short data stage did not deliver the report either.
  return r == hid::kReportSize ? 0 : 3;
}

int linux_device_hid_ctrio::claim_for_write() {
  return hid::claim_interface_with_retries(handle_, iface_, kClaimRetries, false);
}

int linux_device_hid_ctrio::cmd_read(uint8_t* payload, int* len, bool* first, bool* last) {
  if (comm_timeout_ <= 0) comm_timeout_ = kDefaultReadTimeout;
  uint8_t report[hid::kReportSize] = {0};
  int r = plat::get().usb_control_transfer(handle_, kReqTypeIn, kGetReport, 0, 0, report,
                                          hid::kReportSize, static_cast<unsigned>(comm_timeout_));
  if (r < 1) return 1;  // failed, or not even the flags byte came
  const int n = report[0] & hid::kLengthMask;
  if (n > r - 1) return 1;  // announces payload the data stage did not carry
  *first = (report[0] & hid::kFlagFirst) != 0;
  *last = (report[0] & hid::kFlagLast) != 0;
  *len = n;
  if (n > 0) std::memcpy(payload, report + 1, static_cast<size_t>(n));
  return 0;
}

int linux_device_hid_ctrio::cmd_read_data(uint8_t* frame, int capacity, int* total) {
  backend& be = plat::get();
  if (comm_timeout_ <= 0) comm_timeout_ = kDefaultReadTimeout;
  const uint64_t budget = std::max<uint64_t>(kMinReassemblyMs, 2ull * static_cast<uint64_t>(comm_timeout_));
  const uint64_t deadline = be.monotonic_ms() + budget;
  // Clock-independent bound: every empty report costs at least one back-off step.
  const uint64_t max_empty = budget / kBackoffStepMs + 1;
  uint64_t empty = 0;
  int step = 1;
  int got = 0;
  for (;;) {
    uint8_t payload[hid::kChunk];
    int n = 0;
    bool first = false, last = false;
    if (cmd_read(payload, &n, &first, &last) != 0) break;
    if (got + n > capacity) break;  // the frame would overrun the buffer
    if (n > 0) std::memcpy(frame + got, payload, static_cast<size_t>(n));
    got += n;
    if (last) {
      *total = got;
      release();
      return 0;
    }
    if (n == 0) {
      if (++empty > max_empty) break;
      step = (step % kBackoffSteps) + 1;
      be.sleep_ms(static_cast<unsigned>(step) * kBackoffStepMs);
    }
    if (be.monotonic_ms() >= deadline) break;
  }
  release();
  return 1;
}

