#include "cmd_fixture.h"

#include <cstring>

#include "rx7100_app.h"
#include "transport/device_discover.h"
#include "transport/transport_reset.h"

namespace cmdtest {

using kind = vtok::transfer_entry::kind;

std::vector<bytes> apdus_seen(const vtok::token& t) {
  std::vector<bytes> out;
  bytes frame;
  const auto rec = t.record();
  // An OUT report the model took as a raw vendor command sits next to its
  // raw_command entry; it is not part of any frame.
  auto is_raw = [&rec](size_t i) {
    for (size_t j : {i - 1, i + 1})
      if (j < rec.size() && rec[j].what == kind::raw_command && rec[j].bytes == rec[i].bytes)
        return true;
    return false;
  };
  for (size_t i = 0; i < rec.size(); ++i) {
    const auto& e = rec[i];
    if (e.what != kind::interrupt_out || e.result != 0 || e.bytes.size() != 64) continue;
    if (is_raw(i)) continue;
    const uint8_t f = e.bytes[0];
    if (f & 0x80) frame.clear();
    frame.insert(frame.end(), e.bytes.begin() + 1, e.bytes.begin() + 1 + (f & 0x3f));
    if ((f & 0x40) && frame.size() >= 23) {
      const size_t n = (static_cast<size_t>(frame[21]) << 8) | frame[22];
      if (23 + n <= frame.size()) out.emplace_back(frame.begin() + 23, frame.begin() + 23 + n);
    }
  }
  return out;
}

std::vector<bytes> raw_seen(const vtok::token& t) {
  std::vector<bytes> out;
  for (const auto& e : t.record())
    if (e.what == kind::raw_command) out.push_back(e.bytes);
  return out;
}

std::array<uint8_t, 64> raw_report(const bytes& data, int sig_at, int declared) {
  std::array<uint8_t, 64> r{};
  if (sig_at == 0 || sig_at == 1) r[sig_at] = 0xAA;
  const int len = declared >= 0 ? declared : static_cast<int>(data.size());
  r[2] = static_cast<uint8_t>(len & 0xFF);
  r[3] = static_cast<uint8_t>(len >> 8);
  if (!data.empty()) std::memcpy(r.data() + 20, data.data(), data.size() < 44 ? data.size() : 44);
  return r;
}

bytes apdu_bytes(std::initializer_list<uint8_t> head, const bytes& data, int le) {
  bytes out(head);
  if (!data.empty() || le >= 0) out.push_back(0x00);
  if (!data.empty()) {
    out.push_back(static_cast<uint8_t>(data.size() >> 8));
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
  }
  if (le >= 0) {
    out.push_back(static_cast<uint8_t>((le >> 8) & 0xFF));
    out.push_back(static_cast<uint8_t>(le & 0xFF));
  }
  return out;
}

int raw_answer_backend::usb_interrupt_transfer(rx::plat::usb_device_handle* h, uint8_t ep,
                                               uint8_t* data, int length, int* transferred,
                                               unsigned int timeout_ms) {
  if ((ep & 0x80) && (raw_pending_ || (serve_any && !answers.empty()))) {
    raw_pending_ = false;
    ++raw_reads;
    if (!answers.empty()) {
      answer a = answers.front();
      answers.pop_front();
      if (transferred) *transferred = 0;
      if (a.rc != 0) return a.rc;
      const int n = length < 64 ? length : 64;
      std::memcpy(data, a.report.data(), n);
      if (transferred) *transferred = n;
      return 0;
    }
  }
  const bool out = !(ep & 0x80);
  const size_t before = out ? token_.record().size() : 0;
  const int r =
      vtok::sim_backend::usb_interrupt_transfer(h, ep, data, length, transferred, timeout_ms);
  if (out && r == 0) {
    // The model notes a raw command among the entries this transfer added.
    const auto rec = token_.record();
    raw_pending_ = false;
    for (size_t i = before; i < rec.size(); ++i)
      if (rec[i].what == kind::raw_command) raw_pending_ = true;
  }
  return r;
}

void cmd_fixture::SetUp() {
  env_ = std::make_unique<vtok_env>();
  rx::transport::reset_state();
  backend_ = std::make_unique<raw_answer_backend>(env_->bus, env_->clock, *env_->token);
  rx::plat::set(backend_.get());
  ASSERT_EQ(app_enum_device(kRxDefaultDeviceCriteria), 1);
  ASSERT_NE(app_get_first_dev(&h_, RX_DEV_STATE_INITIAL), nullptr);
  ASSERT_NE(h_, nullptr);
  ASSERT_EQ(app_connect_device(h_), 0);
  token().clear_record();
}

void cmd_fixture::TearDown() {
  rx::transport::reset_state();
  rx::plat::set(&env_->backend);
  backend_.reset();
  env_.reset();
}

void cmd_fixture::answer(uint8_t cla, uint8_t ins, bytes data, uint16_t sw) {
  os().register_handler(cla, ins, [this, data, sw](vtok::card_os&, const vtok::command& c) {
    seen_ = c;
    ++handled_;
    vtok::response r;
    r.data = data;
    r.sw = sw;
    return r;
  });
}

void cmd_fixture::unplug() { env_->bus.unplug(token().serial()); }

bytes cmd_fixture::only_apdu() {
  auto all = apdus_seen(token());
  EXPECT_EQ(all.size(), 1u);
  return all.empty() ? bytes{} : all.back();
}

bytes cmd_fixture::only_raw() {
  auto all = raw_seen(token());
  EXPECT_EQ(all.size(), 1u);
  return all.empty() ? bytes{} : all.back();
}

}  // namespace cmdtest
