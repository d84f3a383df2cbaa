// The three transports through one service: the library's device layer
// finds a HID, a HID control-channel and a SCSI token, each carries its
// exchange on its own channel, and an unplugged SCSI token fails like a
// vanished device. Then the sg requests of the client backend on their own:
// nodes that come and go, the driver's checks, errors and header fields.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "rx7100_app.h"
#include "transport/vtoken_client_backend.h"
#include "vtoken_service_harness.h"

using rx::plat::vtoken_client_backend;

namespace {

const unsigned char kGenRandom[] = {0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08};
const char kCriteria[] =
    "rx7100,vid_7e3b&pid_db08|vid_7e3b&pid_e618|vid_7e3b&pid_f603,vid_7e3b&pid_e618|vid_7e3b&pid_f603";

// Which counters of `stats` an exchange on each transport moves.
struct transport_case {
  const char* transport;
  const char* path;
  std::vector<const char*> moved;
  std::vector<const char*> still;
};

TEST(VtokenServiceTransports, OneTokenOfEachTransportExchangesOnItsOwnChannel) {
  vtsvc::service svc;
  ASSERT_TRUE(svc.start()) << svc.log();
  std::map<std::string, std::string> serial;  // transport -> serial
  serial["hid"] = svc.plug({"--transport", "hid", "--bus", "1", "--address", "5"});
  serial["hidctr"] = svc.plug({"--transport", "hidctr", "--bus", "1", "--address", "6"});
  serial["scsi"] = svc.plug({"--transport", "scsi", "--bus", "2", "--address", "3"});
  for (const auto& s : serial) ASSERT_FALSE(s.second.empty()) << s.first << "\n" << svc.log();
  EXPECT_NE(svc.cli({"list"}).out.find(serial["scsi"] + " scsi 7e3b:db08 bus=2 address=3 plugged /dev/sg0"),
            std::string::npos)
      << svc.cli({"list"}).out;
  // Read once, on the first use of the platform seam.
  ASSERT_EQ(::setenv("RX7100_VTOKEN", svc.dir().c_str(), 1), 0);

  const transport_case cases[] = {
      {"hid", "hid_vid_7e3b&pid_e618&addr_0005", {"reports_out", "reports_in"},
       {"control_out", "control_in", "sg_commands"}},
      {"hidctr", "hidctr_vid_7e3b&pid_e618&addr_0006", {"control_out", "control_in"},
       {"reports_out", "reports_in", "sg_commands"}},
      {"scsi", "/dev/sg0", {"sg_commands"}, {"reports_out", "reports_in", "control_out", "control_in"}},
  };

  ASSERT_EQ(app_enum_device(kCriteria), 3);
  std::map<std::string, void*> by_path;
  void* h = nullptr;
  for (app_get_first_dev(&h, RX_DEV_STATE_INITIAL); h; app_get_next_dev(&h, RX_DEV_STATE_INITIAL)) {
    char path[256] = {0};
    ASSERT_EQ(app_dev_get_os_path(h, path), 0);
    by_path[path] = h;
  }
  ASSERT_EQ(by_path.size(), 3u);

  for (const transport_case& c : cases) {
    SCOPED_TRACE(c.transport);
    ASSERT_EQ(by_path.count(c.path), 1u) << c.path;
    void* dev = by_path[c.path];
    for (const auto& s : serial) ASSERT_EQ(svc.cli({"stats", s.second, "--reset"}).status, 0);
    ASSERT_EQ(app_connect_device(dev), 0);
    unsigned char resp[RX_MAX_RESPONSE];
    int len = sizeof resp;
    ASSERT_EQ(app_transmit(dev, kGenRandom, sizeof kGenRandom, resp, &len), 0);
    ASSERT_EQ(len, 10);
    EXPECT_EQ(resp[8], 0x90);
    EXPECT_EQ(resp[9], 0x00);

    auto st = svc.stats(serial[c.transport]);
    EXPECT_EQ(st["apdus"], 1);
    for (const char* name : c.moved) EXPECT_GT(st[name], 0) << name;
    for (const char* name : c.still) EXPECT_EQ(st[name], 0) << name;
    // Nothing reached the other two tokens.
    for (const auto& other : serial) {
      if (other.first != c.transport) {
        EXPECT_EQ(svc.stats(other.second)["apdus"], 0) << other.first;
      }
    }
  }

  // The record of the SCSI token names its node and the vendor blocks.
  const std::string log = svc.cli({"log", serial["scsi"]}).out;
  EXPECT_NE(log.find("sg_io node=/dev/sg0 direction=1 dxfer_len=10 resid=0 timeout=120000 result=0 "
                     "bytes=fe01474d43415049444653"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("sg_io node=/dev/sg0 direction=2"), std::string::npos) << log;

  // Unplugged, the SCSI token fails its next command as a vanished device.
  ASSERT_EQ(svc.cli({"unplug", serial["scsi"]}).status, 0);
  void* scsi = by_path["/dev/sg0"];
  unsigned char resp[RX_MAX_RESPONSE];
  int len = sizeof resp;
  EXPECT_EQ(app_transmit(scsi, kGenRandom, sizeof kGenRandom, resp, &len), 1);
  EXPECT_EQ(get_last_sw(), RX_SW_SEND_FAILED);
  // The two others go on.
  for (const char* path : {"hid_vid_7e3b&pid_e618&addr_0005", "hidctr_vid_7e3b&pid_e618&addr_0006"}) {
    len = sizeof resp;
    EXPECT_EQ(app_transmit(by_path[path], kGenRandom, sizeof kGenRandom, resp, &len), 0) << path;
  }
  for (auto& d : by_path) app_disconnect_device(d.second);
  EXPECT_EQ(app_enum_device(kCriteria), 2);
  EXPECT_TRUE(svc.stop()) << svc.log();
}

// ---- the sg requests of the client backend ----

const uint8_t kInquiry[] = {0x12, 0x00, 0x00, 0x00, 0xFF, 0x00};
const uint8_t kVendorWrite[] = {0xFE, 0x01, 'G', 'M', 'C', 'A', 'P', 'I', 'D', 'F', 'S', 0x00};
const uint8_t kVendorRead[] = {0xFE, 0x02, 'G', 'M', 'C', 'A', 'P', 'I', 'D', 'F', 'S', 0x00};

struct sg_call {
  sg_io_hdr_t hdr{};
  std::vector<uint8_t> cdb, data, sense;
  sg_call(const uint8_t* c, size_t n, int dir, size_t len) : cdb(c, c + n), data(len), sense(64) {
    hdr.interface_id = 'S';
    hdr.dxfer_direction = dir;
    hdr.cmdp = cdb.data();
    hdr.cmd_len = static_cast<unsigned char>(cdb.size());
    hdr.dxferp = data.empty() ? nullptr : data.data();
    hdr.dxfer_len = static_cast<unsigned>(data.size());
    hdr.sbp = sense.data();
    hdr.mx_sb_len = static_cast<unsigned char>(sense.size());
    hdr.timeout = 20000;
  }
  // The ioctl's result and errno (0 on success).
  int run(rx::plat::backend& b, int fd) {
    errno = 0;
    return b.sg_io(fd, &hdr) == 0 ? 0 : errno;
  }
};

class VtokenServiceSg : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(svc.start()) << svc.log(); }
  void TearDown() override { EXPECT_TRUE(svc.stop()) << svc.log(); }

  // GenRandom through the vendor blocks; the data+SW of the answer, or
  // empty with *err set when an ioctl failed.
  std::vector<uint8_t> gen_random(rx::plat::backend& b, int fd, int* err) {
    std::vector<uint8_t> frame{0x12, 0x00, sizeof kGenRandom};
    frame.insert(frame.end(), kGenRandom, kGenRandom + sizeof kGenRandom);
    sg_call w(kVendorWrite, sizeof kVendorWrite, SG_DXFER_TO_DEV, frame.size());
    w.data = frame;
    w.hdr.dxferp = w.data.data();
    if ((*err = w.run(b, fd)) != 0) return {};
    EXPECT_EQ(w.hdr.status, 0);
    sg_call r(kVendorRead, sizeof kVendorRead, SG_DXFER_FROM_DEV, 2051);
    if ((*err = r.run(b, fd)) != 0) return {};
    const size_t got = r.data.size() - static_cast<size_t>(r.hdr.resid);
    EXPECT_GE(got, 5u);
    EXPECT_EQ(r.data[0], 0x12);
    const size_t n = (static_cast<size_t>(r.data[1]) << 8) | r.data[2];
    EXPECT_EQ(n + 3, got);
    return std::vector<uint8_t>(r.data.begin() + 3, r.data.begin() + 3 + std::min(n, got - 3));
  }

  vtsvc::service svc;
};

TEST_F(VtokenServiceSg, NodesFollowPlugAndUnplugAndAVanishedDeviceFailsWithEnodev) {
  vtoken_client_backend client(svc.dir());
  const int hubs = client.usb_device_count();
  EXPECT_FALSE(client.sg_node_exists(0));
  const std::string serial = svc.plug({"--transport", "scsi", "--sg-index", "3"});
  ASSERT_FALSE(serial.empty()) << svc.log();
  EXPECT_EQ(client.usb_device_count(), hubs + 1);
  for (int i : {0, 2, 4, -1}) EXPECT_FALSE(client.sg_node_exists(i)) << i;
  EXPECT_TRUE(client.sg_node_exists(3));

  const int fd = client.sg_open("/dev/sg3", O_RDWR);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  // INQUIRY: the product identification of a token, the rest as residue.
  sg_call inq(kInquiry, sizeof kInquiry, SG_DXFER_FROM_DEV, 512);
  ASSERT_EQ(inq.run(client, fd), 0);
  EXPECT_EQ(inq.hdr.status, 0);
  EXPECT_EQ(inq.hdr.info, 0u);
  ASSERT_GT(inq.hdr.resid, 0);
  ASSERT_LE(inq.hdr.resid, 512 - 32);
  std::string product(inq.data.begin() + 16, inq.data.begin() + 32);
  for (char& ch : product) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(product.rfind("rx7100", 0), 0u) << product;

  int err = 0;
  std::vector<uint8_t> answer = gen_random(client, fd, &err);
  ASSERT_EQ(err, 0);
  ASSERT_EQ(answer.size(), 10u);
  EXPECT_EQ(answer[8], 0x90);
  EXPECT_EQ(svc.stats(serial)["sg_commands"], 3);

  // Unplugged: the node is gone, the descriptor fails with ENODEV, the
  // device count drops; plugged again, the old descriptor does not reach it.
  ASSERT_EQ(svc.cli({"unplug", serial}).status, 0);
  EXPECT_FALSE(client.sg_node_exists(3));
  EXPECT_EQ(client.usb_device_count(), hubs);
  gen_random(client, fd, &err);
  EXPECT_EQ(err, ENODEV);
  // A known token comes back on its own node, not on another one.
  vtsvc::cli_result moved = svc.cli({"plug", "--serial", serial, "--sg-index", "5"});
  EXPECT_NE(moved.status, 0);
  EXPECT_NE(moved.err.find("sg node 5 is not available"), std::string::npos) << moved.err;
  EXPECT_FALSE(client.sg_node_exists(5));
  EXPECT_FALSE(client.sg_node_exists(3));
  ASSERT_FALSE(svc.plug({"--serial", serial, "--sg-index", "3"}).empty()) << svc.log();
  EXPECT_TRUE(client.sg_node_exists(3));
  gen_random(client, fd, &err);
  EXPECT_EQ(err, ENODEV);
  EXPECT_EQ(client.sg_close(fd), 0);
  const int fd2 = client.sg_open("/dev/sg3", O_RDWR);
  ASSERT_GE(fd2, 0);
  EXPECT_EQ(gen_random(client, fd2, &err).size(), 10u);
  EXPECT_EQ(client.sg_close(fd2), 0);
  errno = 0;
  EXPECT_EQ(client.sg_close(fd2), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(VtokenServiceSg, OpensAndRequestsFailWithTheDriversErrors) {
  ASSERT_FALSE(svc.plug({"--transport", "scsi"}).empty()) << svc.log();
  vtoken_client_backend client(svc.dir());

  struct open_case {
    const char* path;
    int flags;
    int err;  // 0: opens
  };
  const open_case opens[] = {
      {"/dev/sg0", O_RDWR, 0},     {"/dev/sg0", O_RDONLY, 0},  {"/dev/sg1", O_RDWR, ENOENT},
      {"/dev/sg00", O_RDWR, ENOENT}, {"/dev/sg", O_RDWR, ENOENT}, {"/dev/sgx", O_RDWR, ENOENT},
      {"/dev/sg256", O_RDWR, ENOENT}, {"/dev/sda", O_RDWR, ENOENT},
  };
  for (const open_case& c : opens) {
    errno = 0;
    const int fd = client.sg_open(c.path, c.flags);
    EXPECT_EQ(fd >= 0 ? 0 : errno, c.err) << c.path;
    if (fd >= 0) client.sg_close(fd);
  }

  const int rw = client.sg_open("/dev/sg0", O_RDWR);
  const int ro = client.sg_open("/dev/sg0", O_RDONLY);
  ASSERT_GE(rw, 0);
  ASSERT_GE(ro, 0);
  // A read-only descriptor may ask, not change.
  sg_call inq(kInquiry, sizeof kInquiry, SG_DXFER_FROM_DEV, 512);
  EXPECT_EQ(inq.run(client, ro), 0);
  int err = 0;
  gen_random(client, ro, &err);
  EXPECT_EQ(err, EPERM);

  struct io_case {
    const char* name;
    void (*spoil)(sg_io_hdr_t*);
    int fd_offset;  // added to the good descriptor
    int err;
  };
  const io_case ios[] = {
      {"interface id", [](sg_io_hdr_t* h) { h->interface_id = 'Q'; }, 0, ENOSYS},
      {"no CDB", [](sg_io_hdr_t* h) { h->cmd_len = 0; }, 0, EINVAL},
      {"CDB of 17 bytes", [](sg_io_hdr_t* h) { h->cmd_len = 17; }, 0, EINVAL},
      {"both directions", [](sg_io_hdr_t* h) { h->dxfer_direction = SG_DXFER_TO_FROM_DEV; }, 0, EINVAL},
      {"length without a data phase", [](sg_io_hdr_t* h) { h->dxfer_direction = SG_DXFER_NONE; }, 0, EINVAL},
      {"above 64 KiB", [](sg_io_hdr_t* h) { h->dxfer_len = 65537; }, 0, ENOMEM},
      {"no data buffer", [](sg_io_hdr_t* h) { h->dxferp = nullptr; }, 0, EFAULT},
      {"no sense buffer", [](sg_io_hdr_t* h) { h->sbp = nullptr; }, 0, EFAULT},
      {"unknown descriptor", [](sg_io_hdr_t*) {}, 7, EBADF},
  };
  for (const io_case& c : ios) {
    sg_call call(kInquiry, sizeof kInquiry, SG_DXFER_FROM_DEV, 512);
    std::vector<uint8_t> big(17, 0x12);
    call.hdr.cmdp = big.data();  // a CDB buffer long enough for every case
    call.hdr.cmd_len = sizeof kInquiry;
    c.spoil(&call.hdr);
    EXPECT_EQ(call.run(client, rw + c.fd_offset), c.err) << c.name;
  }
  // None of them reached the token, and the connection still serves.
  EXPECT_EQ(gen_random(client, rw, &err).size(), 10u);
  EXPECT_EQ(err, 0);
}

TEST_F(VtokenServiceSg, ACheckConditionComesBackWithItsSense) {
  ASSERT_FALSE(svc.plug({"--transport", "scsi"}).empty()) << svc.log();
  vtoken_client_backend client(svc.dir());
  const int fd = client.sg_open("/dev/sg0", O_RDWR);
  ASSERT_GE(fd, 0);
  // MODE SENSE(6): a command the target does not implement.
  const uint8_t unknown[] = {0x1A, 0, 0x3F, 0, 0, 0};
  sg_call c(unknown, sizeof unknown, SG_DXFER_NONE, 0);
  ASSERT_EQ(c.run(client, fd), 0);
  EXPECT_EQ(c.hdr.status, 0x02);         // CHECK CONDITION
  EXPECT_EQ(c.hdr.masked_status, 0x01);
  EXPECT_EQ(c.hdr.driver_status, 0x08);  // DRIVER_SENSE
  EXPECT_EQ(c.hdr.info & 1u, 1u);
  ASSERT_GT(c.hdr.sb_len_wr, 0);
  EXPECT_LE(c.hdr.sb_len_wr, c.hdr.mx_sb_len);
  EXPECT_EQ(c.sense[0] & 0x7F, 0x70);  // fixed-format sense
  EXPECT_EQ(c.sense[2] & 0x0F, 0x05);  // ILLEGAL REQUEST

  // A smaller sense buffer gets only what fits.
  sg_call small(unknown, sizeof unknown, SG_DXFER_NONE, 0);
  small.hdr.mx_sb_len = 4;
  ASSERT_EQ(small.run(client, fd), 0);
  EXPECT_EQ(small.hdr.sb_len_wr, 4);
  EXPECT_EQ(std::vector<uint8_t>(small.sense.begin(), small.sense.begin() + 4),
            std::vector<uint8_t>(c.sense.begin(), c.sense.begin() + 4));
}

TEST_F(VtokenServiceSg, DescriptorsArePerConnectionAndBounded) {
  ASSERT_FALSE(svc.plug({"--transport", "scsi"}).empty()) << svc.log();
  vtoken_client_backend a(svc.dir());
  std::vector<int> fds;
  for (int i = 0; i < 256; ++i) {
    const int fd = a.sg_open("/dev/sg0", O_RDWR);
    ASSERT_GE(fd, 0) << i;
    fds.push_back(fd);
  }
  errno = 0;
  EXPECT_EQ(a.sg_open("/dev/sg0", O_RDWR), -1);
  EXPECT_EQ(errno, EMFILE);
  // Another connection has its own.
  vtoken_client_backend b(svc.dir());
  const int fd_b = b.sg_open("/dev/sg0", O_RDWR);
  ASSERT_GE(fd_b, 0);
  int err = 0;
  EXPECT_EQ(gen_random(b, fd_b, &err).size(), 10u);
  // A closed descriptor frees its place.
  EXPECT_EQ(a.sg_close(fds.back()), 0);
  const int again = a.sg_open("/dev/sg0", O_RDWR);
  EXPECT_GE(again, 0);
  EXPECT_EQ(gen_random(a, again, &err).size(), 10u);
}

}  // namespace
