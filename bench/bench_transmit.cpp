// Host time of one app_transmit exchange through the full stack (command
// library, device_mgr, HID transport, platform seam) against the in-process
// virtual token, for 5-, 261- and 1029-byte commands. Counter
// "reports/exchange": interrupt reports (OUT + IN) the token saw per exchange.
#include <benchmark/benchmark.h>

#include <vector>

#include "card_os.h"
#include "clock.h"
#include "rx7100_app.h"
#include "sim_backend.h"
#include "transport/device_discover.h"
#include "transport/platform.h"
#include "transport/transport_reset.h"
#include "virtual_bus.h"

namespace {

// A command of exactly `total` bytes for the echo handler (80 EE): an
// extended case-3E APDU, or for 5 bytes a short-form header + Le, which the
// card OS (extended forms only) answers with 6700 -- still one full
// exchange of one request frame and one response frame.
std::vector<uint8_t> command_of(int total) {
  std::vector<uint8_t> c = {0x80, 0xEE, 0x00, 0x00, 0x00};
  if (total <= 5) {
    c.resize(total);
    return c;
  }
  int n = total - 7;
  c.push_back(static_cast<uint8_t>(n >> 8));
  c.push_back(static_cast<uint8_t>(n));
  for (int i = 0; i < n; ++i) c.push_back(static_cast<uint8_t>(i));
  return c;
}

void BM_app_transmit(benchmark::State& state) {
  vtok::virtual_clock clock;
  vtok::virtual_bus bus(clock);
  vtok::token& t = bus.plug({});
  t.os().register_handler(0x80, 0xEE, [](vtok::card_os&, const vtok::command& c) {
    vtok::response r;
    r.data.assign(c.data.begin(), c.data.begin() + (c.data.size() < 32 ? c.data.size() : 32));
    return r;
  });
  vtok::sim_backend backend(bus, clock, 0);
  rx::plat::set(&backend);
  rx::transport::reset_state();

  void* h = nullptr;
  if (app_enum_device(kRxDefaultDeviceCriteria) != 1 || !app_get_first_dev(&h, 3) ||
      app_connect_device(h) != 0) {
    state.SkipWithError("no virtual token");
    rx::transport::reset_state();
    rx::plat::set(nullptr);
    return;
  }
  const std::vector<uint8_t> cmd = command_of(static_cast<int>(state.range(0)));
  unsigned char resp[RX_MAX_RESPONSE];
  t.reset_stats();
  int64_t exchanges = 0;
  for (auto _ : state) {
    int len = sizeof(resp);
    int r = app_transmit(h, cmd.data(), static_cast<int>(cmd.size()), resp, &len);
    if (r != 0) {
      state.SkipWithError("exchange failed");
      break;
    }
    benchmark::DoNotOptimize(resp);
    ++exchanges;
    t.clear_record();  // keep the record from growing
  }
  vtok::token_stats s = t.stats();
  if (exchanges > 0)
    state.counters["reports/exchange"] =
        static_cast<double>(s.reports_out + s.reports_in) / static_cast<double>(exchanges);
  state.SetBytesProcessed(exchanges * static_cast<int64_t>(cmd.size()));
  rx::transport::reset_state();
  rx::plat::set(nullptr);
}

BENCHMARK(BM_app_transmit)->Arg(5)->Arg(261)->Arg(1029);

}  // namespace

BENCHMARK_MAIN();
