// Several client processes on one service: shared tokens, exclusive claims,
// unplugging under a waiting read, malformed protocol messages, and a
// client that outlives its service.
#include <gtest/gtest.h>

#include <future>
#include <set>
#include <sstream>

#include "transport/vtoken_client_backend.h"
#include "vtoken_service_harness.h"
#include "vtok_hid_host.h"

using rx::plat::vtoken_client_backend;
using vtok_test::hid_host;

namespace {

const std::vector<uint8_t> kGenRandom{0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08};

// One exchange the way a transport does it: claim (waiting while another
// client holds the interface), frame out, frame in, release.
bool shared_exchange(hid_host& h) {
  int rc = rx::plat::USB_ERROR_BUSY;
  for (int i = 0; i < 20000 && rc == rx::plat::USB_ERROR_BUSY; ++i) {
    rc = h.claim();
    if (rc == rx::plat::USB_ERROR_BUSY) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (rc != 0) return false;
  std::vector<uint8_t> resp = h.transmit(kGenRandom);
  h.release();
  return resp.size() == 10 && vtok_test::sw_of(resp) == 0x9000;
}

std::set<int> clients_in_log(const std::string& log, const std::string& what) {
  std::set<int> ids;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    size_t c = line.find("client=");
    if (c == std::string::npos || line.find(" " + what + " ") == std::string::npos) continue;
    ids.insert(std::stoi(line.substr(c + 7)));
  }
  return ids;
}

class VtokenClients : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(svc.start()) << svc.log();
    serial = svc.plug();
  }
  void TearDown() override { EXPECT_TRUE(svc.stop()) << svc.log(); }
  vtsvc::service svc;
  std::string serial;
};

TEST_F(VtokenClients, TwoProcessesExchangeWithOneTokenAtOnce) {
  constexpr int kExchanges = 40;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      vtoken_client_backend client(svc.dir());
      hid_host host(client);
      // The host claims on opening when it can; this client claims per
      // exchange instead, so drop whatever it got.
      bool ok = host.ok();
      host.release();
      for (int i = 0; ok && i < kExchanges; ++i) ok = shared_exchange(host);
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << svc.log();
  }
  auto st = svc.stats(serial);
  EXPECT_EQ(st["apdus"], 2 * kExchanges);
  EXPECT_EQ(st["reports_out"], 2 * kExchanges);
  EXPECT_EQ(st["interleaved"], 0);  // the claims kept every frame whole
  vtsvc::cli_result log = svc.cli({"log", serial});
  EXPECT_EQ(clients_in_log(log.out, "interrupt_out").size(), 2u);
}

TEST_F(VtokenClients, AClaimIsExclusiveAcrossClientsAndDiesWithItsConnection) {
  vtoken_client_backend second(svc.dir());
  hid_host other(second);
  ASSERT_TRUE(other.ok());
  ASSERT_EQ(other.release(), 0);
  // The holder is another process that claims and then dies without
  // releasing or closing anything.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    vtoken_client_backend first(svc.dir());
    hid_host h(first);
    char c = h.open_result() == 0 && h.claim() == 0 ? 'Y' : 'N';  // claiming again is fine
    if (::write(ready[1], &c, 1) != 1) _exit(1);
    for (;;) ::pause();
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(c, 'Y');
  EXPECT_EQ(other.claim(), rx::plat::USB_ERROR_BUSY);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);

  // The first client's connection is closed by its destructor; the service
  // releases the claim as the kernel does for a dying process.
  int rc = rx::plat::USB_ERROR_BUSY;
  for (int i = 0; i < 1000 && rc == rx::plat::USB_ERROR_BUSY; ++i) {
    rc = other.claim();
    if (rc == rx::plat::USB_ERROR_BUSY) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(rc, 0);
  std::vector<uint8_t> resp = other.transmit(kGenRandom);
  EXPECT_EQ(vtok_test::sw_of(resp), 0x9000);
}

TEST_F(VtokenClients, UnplugFailsAReadInFlightWithNoDevice) {
  vtoken_client_backend client(svc.dir());
  hid_host host(client);
  ASSERT_TRUE(host.ok());
  ASSERT_EQ(svc.cli({"fault", serial, "drop-response"}).status, 0);
  ASSERT_EQ(host.send_frame(vtok_test::request_frame(kGenRandom)), 0);

  // The read waits up to ten minutes unless the unplug ends it.
  auto reader = std::async(std::launch::async, [&] {
    std::vector<uint8_t> frame;
    return host.read_frame(&frame, nullptr, 4, 600000);
  });
  // Unplug once the read is in the service's hands (it shows in the record
  // only after it ends, so just let the request leave first).
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(svc.cli({"unplug", serial}).status, 0);
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "read not ended by unplug";
  EXPECT_EQ(reader.get(), rx::plat::USB_ERROR_NO_DEVICE);
  // And everything after it on that handle.
  EXPECT_EQ(host.send_frame(vtok_test::request_frame(kGenRandom)), rx::plat::USB_ERROR_NO_DEVICE);
  // The record keeps the result the client got, with the timeout it asked for.
  const std::string log = svc.cli({"log", serial}).out;
  EXPECT_NE(log.find("interrupt_in ep=0x81 timeout=600000 result=-4"), std::string::npos) << log;
  EXPECT_EQ(log.find("result=-7"), std::string::npos) << log;
}

// ---- malformed protocol ----

std::vector<uint8_t> msg(const std::vector<uint8_t>& body) {
  uint32_t n = static_cast<uint32_t>(body.size());
  std::vector<uint8_t> m{static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                         static_cast<uint8_t>(n >> 24)};
  m.insert(m.end(), body.begin(), body.end());
  return m;
}
const std::vector<uint8_t> kHello = msg({0x01, 0x52, 0x58, 0x56, 0x54, 0x01, 0x00});

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An SG_IO body: fd 3, the direction, timeout 0, no sense buffer, the CDB
// with its declared length, dxfer_len, and for data-out the data array.
std::vector<uint8_t> sg_io(int32_t dir, uint32_t cdb_declared, size_t cdb_sent, uint32_t dxfer_len,
                           const std::vector<uint8_t>& tail = {}) {
  auto le = [](std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
  };
  std::vector<uint8_t> b{0x32};
  le(b, 3);
  le(b, static_cast<uint32_t>(dir));
  le(b, 0);
  b.push_back(0);
  le(b, cdb_declared);
  b.insert(b.end(), cdb_sent, 0x12);
  le(b, dxfer_len);
  b.insert(b.end(), tail.begin(), tail.end());
  return msg(b);
}

struct bad_case {
  const char* name;
  std::vector<uint8_t> bytes;  // sent, then the write side is shut
  const char* logged;          // what the service's log line says
};

const bad_case kBadCases[] = {
    {"truncated_header", {0x05, 0x00}, "truncated"},
    {"truncated_body", {0x20, 0x00, 0x00, 0x00, 0x01, 0x52}, "truncated"},
    {"length_above_bound", {0xff, 0xff, 0xff, 0x7f, 0x10}, "above the bound"},
    {"garbage_instead_of_hello", msg({'G', 'E', 'T', ' ', '/'}), "HELLO"},
    {"hello_with_wrong_magic", msg({0x01, 0, 0, 0, 0, 0x01, 0x00}), "HELLO"},
    {"unknown_opcode", cat(kHello, msg({0x7f})), "unknown opcode 0x7f"},
    {"empty_body", cat(kHello, msg({})), "below the minimum"},
    {"interrupt_length_above_bound",
     cat(kHello, msg({0x19, 1, 0, 0, 0, 0x01, 0, 0, 0, 0, 0x00, 0x20, 0x00, 0x00})), "above the bound"},
    {"interrupt_data_shorter_than_length",
     cat(kHello, msg({0x19, 1, 0, 0, 0, 0x01, 0, 0, 0, 0, 64, 0, 0, 0, 0xaa})), "does not match"},
    {"control_text_not_json", cat(kHello, msg({0x40, '{', '"'})), "JSON"},
    {"trailing_bytes", cat(kHello, msg({0x20, 0x00})), "DEVICE_COUNT"},
    {"sg_cdb_above_16_bytes", cat(kHello, sg_io(-3, 17, 17, 0)), "malformed SG_IO"},
    {"sg_empty_cdb", cat(kHello, sg_io(-1, 0, 0, 0)), "SG_IO (field out of range)"},
    {"sg_data_above_64k", cat(kHello, sg_io(-3, 6, 6, 65537)), "SG_IO (field out of range)"},
    {"sg_unknown_direction", cat(kHello, sg_io(-5, 6, 6, 0)), "SG_IO (field out of range)"},
    {"sg_data_out_shorter_than_length", cat(kHello, sg_io(-2, 6, 6, 4, {3, 0, 0, 0, 1, 2, 3})),
     "SG_IO (data does not match"},
    {"sg_data_with_a_read", cat(kHello, sg_io(-3, 6, 6, 4, {0})), "malformed SG_IO"},
    {"sg_open_path_above_bound", cat(kHello, msg({0x31, 0x01, 0x20, 0x00, 0x00})), "malformed SG_OPEN"},
    {"sg_close_truncated", cat(kHello, msg({0x33, 0x01})), "malformed SG_CLOSE"},
};

class VtokenBadPeer : public ::testing::TestWithParam<bad_case> {};

TEST_P(VtokenBadPeer, ClosesThatConnectionAndKeepsServingOthers) {
  vtsvc::service svc;
  ASSERT_TRUE(svc.start()) << svc.log();
  const std::string serial = svc.plug();
  // A well-behaved client, connected before and holding a claim.
  vtoken_client_backend good(svc.dir());
  hid_host host(good);
  ASSERT_TRUE(host.ok());

  int fd = vtsvc::connect_raw(svc.dir());
  ASSERT_GE(fd, 0);
  const auto& bytes = GetParam().bytes;
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  ::shutdown(fd, SHUT_WR);
  // Whatever came before (the HELLO answer), the service ends with EOF.
  std::string rest = vtsvc::read_all_fd(fd);
  ::close(fd);
  if (bytes.size() > kHello.size() && std::equal(kHello.begin(), kHello.end(), bytes.begin())) {
    EXPECT_EQ(rest.size(), 4u + 8u);  // only the HELLO answer
  }

  EXPECT_TRUE(svc.alive());
  std::vector<uint8_t> resp = host.transmit(kGenRandom);
  EXPECT_EQ(vtok_test::sw_of(resp), 0x9000);
  EXPECT_NE(svc.log().find(GetParam().logged), std::string::npos) << svc.log();
  EXPECT_NE(svc.log().find("closing connection"), std::string::npos);
  EXPECT_TRUE(svc.stop()) << svc.log();
}

INSTANTIATE_TEST_SUITE_P(Messages, VtokenBadPeer, ::testing::ValuesIn(kBadCases),
                         [](const ::testing::TestParamInfo<bad_case>& i) { return std::string(i.param.name); });

TEST(VtokenClientBackend, FailsWithoutAServiceAndReconnectsWhenOneIsBack) {
  vtsvc::service svc;
  vtoken_client_backend client(svc.dir());
  std::vector<rx::plat::usb_device_ref> list;
  EXPECT_EQ(client.usb_get_device_list(nullptr, &list), rx::plat::USB_ERROR_IO);
  EXPECT_EQ(client.usb_device_count(), -1);
  EXPECT_FALSE(client.sg_node_exists(0));

  ASSERT_TRUE(svc.start()) << svc.log();
  svc.plug();
  hid_host host(client);
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(vtok_test::sw_of(host.transmit(kGenRandom)), 0x9000);

  // The service dies under an open handle: calls on it fail, not crash.
  svc.kill_hard();
  EXPECT_EQ(host.send_frame(vtok_test::request_frame(kGenRandom)), rx::plat::USB_ERROR_NO_DEVICE);
  EXPECT_EQ(client.usb_device_count(), -1);

  // A new service: the next call reconnects; the old handle stays dead.
  ASSERT_TRUE(svc.start()) << svc.log();
  EXPECT_GE(client.usb_device_count(), 3);  // root hubs and the re-plugged token
  EXPECT_EQ(host.send_frame(vtok_test::request_frame(kGenRandom)), rx::plat::USB_ERROR_NO_DEVICE);
  hid_host again(client);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(vtok_test::sw_of(again.transmit(kGenRandom)), 0x9000);

  // No SCSI targets on the bus yet.
  EXPECT_FALSE(client.sg_node_exists(0));
  EXPECT_EQ(client.sg_open("/dev/sg0", 2), -1);
  EXPECT_TRUE(svc.stop()) << svc.log();
}

}  // namespace
