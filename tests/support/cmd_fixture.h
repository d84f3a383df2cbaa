// A connected virtual HID token for the command-function tests, with
// helpers to read back what the token received:
//   apdus_seen()   the command APDUs (from the OUT reports of its record);
//   raw_seen()     the 64-byte raw vendor reports it took in.
// The virtual token's HID model records raw vendor reports without
// answering them; tests script the answers (one 64-byte IN report each, or
// a transfer error) with answer_raw() / fail_raw(). Without a scripted
// answer the IN transfer goes to the token itself.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "card_os.h"
#include "sim_backend.h"
#include "vtok_fixture.h"

namespace cmdtest {

using bytes = std::vector<uint8_t>;

std::vector<bytes> apdus_seen(const vtok::token& t);
std::vector<bytes> raw_seen(const vtok::token& t);

// A raw answer report: 0xAA in byte `sig_at` (0 or 1; -1: none), the
// little-endian length (`declared` or the data size), the data from byte 20.
std::array<uint8_t, 64> raw_report(const bytes& data, int sig_at = 0, int declared = -1);

class raw_answer_backend : public vtok::sim_backend {
 public:
  raw_answer_backend(vtok::virtual_bus& bus, vtok::clock_source& clock, vtok::token& t)
      : vtok::sim_backend(bus, clock, 0), token_(t) {}

  int usb_interrupt_transfer(rx::plat::usb_device_handle* h, uint8_t ep, uint8_t* data, int length,
                             int* transferred, unsigned int timeout_ms) override;

  struct answer {
    int rc = 0;  // libusb-style result; 0: deliver `report`
    std::array<uint8_t, 64> report{};
  };
  std::deque<answer> answers;
  // Serve the scripted answers to any IN transfer, not only after a raw
  // command (a raw receive with nothing sent before it).
  bool serve_any = false;
  int raw_reads = 0;  // IN transfers made after a raw command

 private:
  vtok::token& token_;
  bool raw_pending_ = false;
};

class cmd_fixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  vtok::token& token() { return *env_->token; }
  vtok::card_os& os() { return env_->token->os(); }
  // Answers (cla, ins) with `data` and `sw`, keeping the command it saw.
  void answer(uint8_t cla, uint8_t ins, bytes data, uint16_t sw = 0x9000);
  void answer_raw(const bytes& data) { backend_->answers.push_back({0, raw_report(data)}); }
  void answer_raw_report(const std::array<uint8_t, 64>& r) { backend_->answers.push_back({0, r}); }
  void fail_raw(int rc = -7 /* timeout */) { backend_->answers.push_back({rc, {}}); }
  void unplug();
  // The only APDU sent since the record was last cleared.
  bytes only_apdu();
  bytes only_raw();

  std::unique_ptr<vtok_env> env_;
  std::unique_ptr<raw_answer_backend> backend_;
  void* h_ = nullptr;
  vtok::command seen_;
  int handled_ = 0;
};

// Header bytes of an APDU plus its extended Lc/Le fields.
bytes apdu_bytes(std::initializer_list<uint8_t> head, const bytes& data = {}, int le = -1);

}  // namespace cmdtest
