// The rx7100-vtoken command line against a real service: plugging, listing,
// replugging, counters, the transfer record and every fault kind, observed
// through the library's client backend.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sys/stat.h>

#include "transport/vtoken_client_backend.h"
#include "vtoken_service_harness.h"
#include "vtok_hid_host.h"

using rx::plat::vtoken_client_backend;
using vtok_test::hid_host;
using vtok_test::report;

namespace {

const std::vector<uint8_t> kGenRandom{0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08};

struct device_row {
  uint8_t bus, address;
};

std::vector<device_row> token_devices(vtoken_client_backend& b) {
  std::vector<rx::plat::usb_device_ref> list;
  std::vector<device_row> out;
  if (b.usb_get_device_list(nullptr, &list) < 0) return out;
  for (auto& d : list) {
    rx::plat::usb_device_descriptor desc;
    if (b.usb_get_device_descriptor(d.get(), &desc) == 0 && desc.idVendor == 0x7e3b)
      out.push_back({b.usb_get_bus_number(d.get()), b.usb_get_device_address(d.get())});
  }
  return out;
}

// "bus=N address=M" of a serial in `list` output.
std::string list_line(vtsvc::service& s, const std::string& serial) {
  vtsvc::cli_result r = s.cli({"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  size_t pos = r.out.find(serial + " ");
  if (pos == std::string::npos) return {};
  return r.out.substr(pos, r.out.find('\n', pos) - pos);
}

class VtokenCli : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(svc.start()) << svc.log(); }
  void TearDown() override { EXPECT_TRUE(svc.stop()) << svc.log(); }
  vtsvc::service svc;
};

TEST_F(VtokenCli, ServeMakesAnOwnerOnlyDirectoryAndRefusesASecondService) {
  struct stat st;
  ASSERT_EQ(::stat(svc.dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  vtsvc::cli_result second = vtsvc::run_cli({"serve", "--dir", svc.dir()});
  EXPECT_NE(second.status, 0);
  EXPECT_NE(second.err.find("already running"), std::string::npos) << second.err;
  EXPECT_TRUE(svc.alive());
}

TEST_F(VtokenCli, PlugListUnplugReplugChangeWhatClientsSee) {
  vtoken_client_backend client(svc.dir());
  const int hubs = client.usb_device_count();
  ASSERT_GE(hubs, 0);

  const std::string a = svc.plug();
  const std::string b = svc.plug({"--serial", "TOKEN-B", "--bus", "1", "--address", "9"});
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(b, "TOKEN-B");
  EXPECT_EQ(client.usb_device_count(), hubs + 2);
  EXPECT_NE(list_line(svc, b).find("bus=1 address=9 plugged"), std::string::npos) << list_line(svc, b);
  EXPECT_EQ(token_devices(client).size(), 2u);

  ASSERT_EQ(svc.cli({"unplug", b}).status, 0);
  EXPECT_EQ(client.usb_device_count(), hubs + 1);
  EXPECT_NE(list_line(svc, b).find("unplugged"), std::string::npos);
  ASSERT_EQ(token_devices(client).size(), 1u);

  // Replug at the same address, then at a new one.
  ASSERT_EQ(svc.cli({"replug", b, "--same-address"}).status, 0);
  EXPECT_NE(list_line(svc, b).find("address=9 plugged"), std::string::npos) << list_line(svc, b);
  EXPECT_EQ(client.usb_device_count(), hubs + 2);
  ASSERT_EQ(svc.cli({"replug", b}).status, 0);
  std::string line = list_line(svc, b);
  EXPECT_EQ(line.find("address=9 "), std::string::npos) << line;
  EXPECT_NE(line.find(" plugged"), std::string::npos) << line;
  std::set<int> addresses;
  for (auto& d : token_devices(client)) addresses.insert(d.address);
  EXPECT_EQ(addresses.size(), 2u);
  EXPECT_EQ(addresses.count(9), 0u);
}

TEST_F(VtokenCli, RefusedCommandsExplainThemselvesAndChangeNothing) {
  const std::string a = svc.plug();
  struct refused {
    std::vector<std::string> args;
    const char* message;
  };
  const refused cases[] = {
      {{"unplug", "NO-SUCH"}, "no token"},
      {{"replug", "NO-SUCH"}, "no token"},
      {{"plug", "--serial", a}, "already plugged"},
      {{"plug", "--transport", "hid", "--sg-index", "3"}, "scsi tokens only"},
      {{"plug", "--transport", "scsi", "--sg-index", "256"}, "--sg-index"},
      {{"plug", "--pid", "0x1ffff"}, "--pid"},
      {{"plug", "--bus", "1", "--address", "2", "--serial", "X2"}, "address 2"},  // `a` has it
      {{"stats", "NO-SUCH"}, "no token"},
      {{"fault", a, "no-such-fault"}, "unknown fault"},
      {{"fault", a, "force-sw"}, "--ins"},
      {{"fault", a, "empty-reports"}, "--n"},
  };
  const std::string before = svc.cli({"list"}).out;
  for (const refused& c : cases) {
    vtsvc::cli_result r = svc.cli(c.args);
    EXPECT_NE(r.status, 0) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(svc.cli({"list"}).out, before);
  EXPECT_TRUE(svc.alive());
}

TEST_F(VtokenCli, StatsAndLogShowTheTrafficOfAnExchange) {
  const std::string a = svc.plug();
  vtoken_client_backend client(svc.dir());
  hid_host host(client);
  ASSERT_TRUE(host.ok()) << host.open_result();

  // One report carries the whole 30-byte frame; an odd timeout marks it.
  std::vector<report> reports = vtok_test::frame_reports(vtok_test::request_frame(kGenRandom));
  ASSERT_EQ(reports.size(), 1u);
  ASSERT_EQ(host.send_report(reports[0], 777), 0);
  std::vector<uint8_t> frame;
  ASSERT_EQ(host.read_frame(&frame), 0);
  ASSERT_GE(frame.size(), 23u + 10u);
  EXPECT_EQ(frame[frame.size() - 2], 0x90);

  auto st = svc.stats(a);
  EXPECT_EQ(st["apdus"], 1);
  EXPECT_EQ(st["reports_out"], 1);
  EXPECT_GE(st["reports_in"], 1);
  for (const char* k : {"control_out", "control_in", "sg_commands", "interleaved"}) EXPECT_EQ(st[k], 0) << k;

  vtsvc::cli_result log = svc.cli({"log", a});
  ASSERT_EQ(log.status, 0) << log.err;
  const std::string id = "client=" + std::to_string(client.client_id()) + " ";
  EXPECT_NE(log.out.find(id + "interrupt_out ep=0x01 timeout=777 result=0 bytes=defe01"), std::string::npos)
      << log.out;
  EXPECT_NE(log.out.find(id + "interrupt_in ep=0x81"), std::string::npos) << log.out;
  EXPECT_NE(log.out.find(id + "claim interface=0"), std::string::npos) << log.out;

  ASSERT_EQ(svc.cli({"stats", a, "--reset"}).status, 0);
  EXPECT_EQ(svc.stats(a)["apdus"], 0);
}

// ---- faults ----

struct fault_case {
  const char* name;
  std::vector<std::string> args;  // after the serial
  // Runs one exchange with the fault armed and checks what the host sees.
  std::function<void(hid_host&)> check;
};

std::vector<uint8_t> exchange_frame(hid_host& h, const std::vector<uint8_t>& apdu, int* rc,
                                    std::vector<report>* seen = nullptr) {
  std::vector<uint8_t> frame;
  *rc = h.send_frame(vtok_test::request_frame(apdu));
  if (*rc == 0) *rc = h.read_frame(&frame, seen, 64, 50);
  return frame;
}

unsigned be16(const std::vector<uint8_t>& f, size_t at) { return (f[at] << 8) | f[at + 1]; }

const fault_case kFaultCases[] = {
    {"claim-busy", {"claim-busy"},
     [](hid_host& h) {
       ASSERT_EQ(h.release(), 0);
       EXPECT_EQ(h.claim(), rx::plat::USB_ERROR_BUSY);
       EXPECT_EQ(h.claim(), 0);
     }},
    {"no-device-mid-frame", {"no-device-mid-frame"},
     [](hid_host& h) {
       // 60 data bytes make a three-report frame; the second report fails.
       std::vector<uint8_t> apdu = vtok_test::apdu3e(0x80, 0x7f, 0, 0, std::vector<uint8_t>(60, 0x11));
       auto reps = vtok_test::frame_reports(vtok_test::request_frame(apdu));
       ASSERT_GE(reps.size(), 2u);
       EXPECT_EQ(h.send_report(reps[0]), 0);
       EXPECT_EQ(h.send_report(reps[1]), rx::plat::USB_ERROR_NO_DEVICE);
     }},
    {"read-timeout", {"read-timeout"},
     [](hid_host& h) {
       int rc;
       exchange_frame(h, kGenRandom, &rc);
       EXPECT_EQ(rc, rx::plat::USB_ERROR_TIMEOUT);
     }},
    {"drop-response", {"drop-response"},
     [](hid_host& h) {
       int rc;
       exchange_frame(h, kGenRandom, &rc);
       EXPECT_EQ(rc, rx::plat::USB_ERROR_TIMEOUT);
     }},
    {"bad-signature", {"bad-signature"},
     [](hid_host& h) {
       int rc;
       auto f = exchange_frame(h, kGenRandom, &rc);
       ASSERT_EQ(rc, 0);
       ASSERT_GE(f.size(), 23u);
       EXPECT_NE(f[0], 0xAA);
       EXPECT_NE(f[1], 0xAA);
     }},
    {"header-length-too-big", {"header-length-too-big"},
     [](hid_host& h) {
       int rc;
       auto f = exchange_frame(h, kGenRandom, &rc);
       ASSERT_EQ(rc, 0);
       ASSERT_GE(f.size(), 23u);
       EXPECT_GT(f[2] | (f[3] << 8), 1076);
     }},
    {"bad-tag", {"bad-tag"},
     [](hid_host& h) {
       int rc;
       auto f = exchange_frame(h, kGenRandom, &rc);
       ASSERT_EQ(rc, 0);
       ASSERT_GE(f.size(), 23u);
       EXPECT_NE(f[20], 0x12);
     }},
    {"declared-length-long", {"declared-length-long"},
     [](hid_host& h) {
       int rc;
       auto f = exchange_frame(h, kGenRandom, &rc);
       ASSERT_EQ(rc, 0);
       ASSERT_GE(f.size(), 23u);
       EXPECT_GT(be16(f, 21), f.size() - 23);
     }},
    {"empty-reports", {"empty-reports", "1", "--n", "3"},
     [](hid_host& h) {
       int rc;
       std::vector<report> seen;
       auto f = exchange_frame(h, kGenRandom, &rc, &seen);
       ASSERT_EQ(rc, 0);
       ASSERT_GE(seen.size(), 4u);
       for (int i = 0; i < 3; ++i) EXPECT_EQ(seen[i][0] & 0x7F, 0) << i;
       EXPECT_EQ(f.size(), 23u + 10u);
     }},
    {"force-sw", {"force-sw", "--ins", "0x50", "--sw", "0x6a82"},
     [](hid_host& h) {
       int rc;
       auto f = exchange_frame(h, kGenRandom, &rc);
       ASSERT_EQ(rc, 0);
       ASSERT_EQ(f.size(), 25u);
       EXPECT_EQ(be16(f, 23), 0x6a82u);
     }},
};

class VtokenCliFault : public ::testing::TestWithParam<fault_case> {};

TEST_P(VtokenCliFault, ArmedThroughTheCommandLineItHitsOnceThenTheTokenWorks) {
  vtsvc::service svc;
  ASSERT_TRUE(svc.start()) << svc.log();
  const std::string a = svc.plug();
  vtoken_client_backend client(svc.dir());
  hid_host host(client);
  ASSERT_TRUE(host.ok());

  std::vector<std::string> args{"fault", a};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  vtsvc::cli_result r = svc.cli(args);
  ASSERT_EQ(r.status, 0) << r.err;
  GetParam().check(host);

  // Armed for one use: the next command goes through.
  std::vector<uint8_t> resp = host.transmit(kGenRandom);
  ASSERT_EQ(resp.size(), 10u) << GetParam().name;
  EXPECT_EQ(vtok_test::sw_of(resp), 0x9000);
  EXPECT_TRUE(svc.stop()) << svc.log();
}

INSTANTIATE_TEST_SUITE_P(EveryKind, VtokenCliFault, ::testing::ValuesIn(kFaultCases),
                         [](const ::testing::TestParamInfo<fault_case>& i) {
                           std::string n = i.param.name;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

}  // namespace
