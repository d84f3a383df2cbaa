// The SCSI discoverer and transport against virtual sg nodes: INQUIRY-based
// discovery with gaps and foreign disks, the vendor write/read commands and
// their frames, result codes, descriptor 0, pass-through commands.
// Assertions read the token's transfer record.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "transport/device_discover.h"
#include "transport/linux_device_scsi.h"
#include "transport/scsi_device_discover.h"
#include "transport/transport_reset.h"
#include "vtok_fixture.h"
#include "vtok_transport.h"

using vtok::fault_kind;
using vtt::bytes;
using vtt::kind;

namespace {

const bytes kWriteCdb = {0xFE, 0x01, 'G', 'M', 'C', 'A', 'P', 'I', 'D', 'F', 'S', 0x00};
const bytes kReadCdb = {0xFE, 0x02, 'G', 'M', 'C', 'A', 'P', 'I', 'D', 'F', 'S', 0x00};
const bytes kInquiryCdb = {0x12, 0x00, 0x00, 0x00, 0xFF, 0x00};

class scsi_transport : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_unique<vtok_env>(/*plug_token=*/false);
    rx::transport::reset_state();
  }
  void TearDown() override {
    dev_.reset();
    rx::transport::reset_state();
    env_.reset();
  }

  vtok::token& plug_token(int sg_index = -1) {
    vtok::token_config cfg;
    cfg.transport = vtok::transport_kind::scsi;
    cfg.sg_index = sg_index;
    vtok::token& t = env_->bus.plug(cfg);
    vtt::add_echo(t);
    return t;
  }
  int plug_disk(const std::string& product, int sg_index) {
    vtok::scsi_identity id;
    id.peripheral_type = 0x00;
    id.removable = false;
    id.vendor = "VDISK";
    id.product = product;
    return env_->bus.plug_scsi_disk(id, sg_index);
  }
  std::vector<std::string> discover(const char* prefix = "rx7100") {
    char names[kNameTableEntries][kNameLen] = {};
    const int n = disc_.discover_devices(prefix, names, kNameTableEntries);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.emplace_back(names[i]);
    return out;
  }
  // Opens the transport on the token's node and clears the record.
  void open(vtok::token& t) {
    dev_ = std::make_unique<linux_device_scsi>(vtt::sg_path(t.sg_index()).c_str());
    ASSERT_EQ(dev_->open(), 0);
    t.clear_record();
  }
  int exchange(const bytes& cmd, bytes* resp = nullptr, int capacity = 2048) {
    bytes buf(static_cast<size_t>(capacity));
    int len = capacity;
    int r = dev_->device_io(cmd.data(), static_cast<int>(cmd.size()), buf.data(), &len);
    if (resp && r == 0) resp->assign(buf.begin(), buf.begin() + len);
    return r;
  }

  std::unique_ptr<vtok_env> env_;
  scsi_device_discover disc_;
  std::unique_ptr<linux_device_scsi> dev_;
};

// ---- discovery ----

TEST_F(scsi_transport, InquiryIsSixBytesReadOnlyAndClosedAfter) {
  vtok::token& t = plug_token();
  ASSERT_EQ(t.sg_index(), 0);
  EXPECT_EQ(discover(), (std::vector<std::string>{"/dev/sg0"}));
  const auto rec = t.record();
  ASSERT_EQ(rec.size(), 3u);
  EXPECT_EQ(rec[0].what, kind::open);
  EXPECT_EQ(rec[0].value, 0) << "opened read-only";
  EXPECT_EQ(rec[1].what, kind::sg_io);
  EXPECT_EQ(rec[1].bytes, kInquiryCdb);
  EXPECT_EQ(rec[1].sg_direction, 2);
  EXPECT_EQ(rec[1].dxfer_len, 512u);
  EXPECT_EQ(rec[1].timeout_ms, 20000u);
  EXPECT_EQ(rec[1].result, 0);
  EXPECT_EQ(rec[2].what, kind::close);
}

// Nodes 0 and 2 present, 1 missing: counting stops at the gap and the
// token behind it is never opened.
TEST_F(scsi_transport, CountingStopsAtTheFirstMissingNode) {
  vtok::token& first = plug_token(0);
  vtok::token& beyond = plug_token(2);
  EXPECT_EQ(disc_.get_sg_device_number(), 1);
  EXPECT_EQ(discover(), (std::vector<std::string>{"/dev/sg0"}));
  EXPECT_FALSE(first.record().empty());
  EXPECT_TRUE(beyond.record().empty());
  plug_disk("Virtual Disk", 1);  // the gap closes
  EXPECT_EQ(discover(), (std::vector<std::string>{"/dev/sg0", "/dev/sg2"}));
}

// The product identification (INQUIRY bytes 16-31), lower-cased, must
// begin with the prefix.
TEST_F(scsi_transport, ProductIdentificationDecides) {
  const struct {
    const char* product;
    bool match;
  } cases[] = {
      {"RX7100 Token", true}, {"rx7100", true},        {"Rx7100KEY", true},
      {" RX7100", false},     {"XRX7100 Token", false}, {"RX710", false},
      {"Virtual Disk", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.product);
    ASSERT_EQ(plug_disk(c.product, 0), 0);
    EXPECT_EQ(discover().size(), c.match ? 1u : 0u);
    env_->bus.unplug_scsi_disk(0);
  }
  // A disk before the token is examined and skipped.
  plug_disk("Virtual Disk", 0);
  plug_token(1);
  EXPECT_EQ(discover(), (std::vector<std::string>{"/dev/sg1"}));
  EXPECT_TRUE(discover("").empty());
  EXPECT_TRUE(discover("rx7100 token and more").empty()) << "a prefix longer than the field";
}

// A process started with stdin closed gets descriptor 0 for its first
// open: discovery and the transport must take it as valid.
TEST_F(scsi_transport, DescriptorZeroIsValid) {
  env_->bus.set_sg_descriptor_base(0);
  vtok::token& t = plug_token();
  EXPECT_EQ(discover(), (std::vector<std::string>{"/dev/sg0"}));
  open(t);
  EXPECT_EQ(dev_->descriptor(), 0);
  EXPECT_TRUE(dev_->is_open());
  EXPECT_EQ(dev_->get_dev_state(), DEV_STATE_PRESENT);
  bytes resp;
  ASSERT_EQ(exchange(vtt::echo_apdu(10), &resp), 0);
  EXPECT_EQ(resp, (bytes{1, 8, 15, 0x90, 0x00}));
  EXPECT_EQ(dev_->close(), 0);
  EXPECT_FALSE(dev_->is_open());
  EXPECT_EQ(t.record().back().what, kind::close) << "descriptor 0 was really closed";
}

// ---- exchange ----

TEST_F(scsi_transport, VendorCommandsCarryTheFrames) {
  vtok::token& t = plug_token();
  dev_ = std::make_unique<linux_device_scsi>("/dev/sg0");
  EXPECT_EQ(dev_->get_device_type(), 0);
  EXPECT_EQ(dev_->comm_timeout(), 120000);
  ASSERT_EQ(dev_->open(), 0);
  const auto opens = vtt::entries_of(t, kind::open);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].value, 1) << "opened read-write";
  t.clear_record();

  dev_->set_comm_timeout(30000);
  const bytes apdu = vtt::echo_apdu(10);
  bytes resp;
  ASSERT_EQ(exchange(apdu, &resp), 0);
  const auto io = vtt::entries_of(t, kind::sg_io);
  ASSERT_EQ(io.size(), 2u);
  EXPECT_EQ(io[0].bytes, kWriteCdb);
  EXPECT_EQ(io[0].sg_direction, 1);
  bytes frame = {0x12, 0x00, 0x0A};
  frame.insert(frame.end(), apdu.begin(), apdu.end());
  EXPECT_EQ(io[0].data, frame);
  EXPECT_EQ(io[0].timeout_ms, 30000u);
  EXPECT_EQ(io[1].bytes, kReadCdb);
  EXPECT_EQ(io[1].sg_direction, 2);
  EXPECT_EQ(io[1].dxfer_len, 2048u + 3u);
  EXPECT_EQ(io[1].data, (bytes{0x12, 0x00, 0x05, 1, 8, 15, 0x90, 0x00}));
  EXPECT_EQ(io[1].resid, static_cast<int32_t>(2051 - 8));
  EXPECT_EQ(io[1].timeout_ms, 30000u);
  EXPECT_EQ(resp, (bytes{1, 8, 15, 0x90, 0x00}));
}

// The response frame of the status word alone is 5 bytes with length 2:
// accepted. The same 5 bytes declaring 3 give result 4.
TEST_F(scsi_transport, FiveByteFrameWithLengthTwoOnly) {
  vtok::token& t = plug_token();
  open(t);
  const bytes case1 = {0x80, 0xEE, 0x00, 0x00};  // echo of nothing: 9000
  bytes resp;
  ASSERT_EQ(exchange(case1, &resp), 0);
  EXPECT_EQ(resp, (bytes{0x90, 0x00}));
  EXPECT_EQ(vtt::entries_of(t, kind::sg_io).back().data, (bytes{0x12, 0x00, 0x02, 0x90, 0x00}));
  t.arm_fault({fault_kind::declared_length_long, 1, 1, 0});
  ASSERT_EQ(dev_->send_data(case1.data(), 4), 0);
  bytes buf(2048);
  int len = 2048;
  EXPECT_EQ(dev_->receive_data(buf.data(), &len), 4);
  EXPECT_EQ(vtt::entries_of(t, kind::sg_io).back().data, (bytes{0x12, 0x00, 0x03, 0x90, 0x00}));
}

TEST_F(scsi_transport, ReceiveResultCodes) {
  const struct {
    const char* name;
    vtok::fault_spec fault;
    int send;
    int receive;
  } cases[] = {
      {"check condition on write", {fault_kind::sg_check_on_write, 1, 0, 0}, 1, -1},
      {"check condition on read", {fault_kind::sg_check_on_read, 1, 0, 0}, 0, 1},
      {"answer lost", {fault_kind::drop_response, 1, 0, 0}, 0, 1},
      {"bad tag", {fault_kind::bad_tag, 1, 0, 0}, 0, 2},
      {"four bytes", {fault_kind::sg_short_frame, 1, 4, 0}, 0, 3},
      {"seven of eight bytes", {fault_kind::sg_short_frame, 1, 7, 0}, 0, 4},
      {"declares more than sent", {fault_kind::declared_length_long, 1, 1, 0}, 0, 4},
      {"negative residual", {fault_kind::sg_wrong_resid, 1, static_cast<uint32_t>(-16), 0}, 0, 1},
      {"residual above the length", {fault_kind::sg_wrong_resid, 1, 2052, 0}, 0, 1},
  };
  vtok::token& t = plug_token();
  open(t);
  const bytes apdu = vtt::echo_apdu(10);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    t.arm_fault(c.fault);
    ASSERT_EQ(dev_->send_data(apdu.data(), 10), c.send);
    if (c.receive < 0) continue;
    bytes buf(2048);
    int len = 2048;
    EXPECT_EQ(dev_->receive_data(buf.data(), &len), c.receive);
  }
  EXPECT_EQ(exchange(apdu), 0) << "the token is still fine";
}

// The response is never copied beyond the caller's capacity, even when the
// driver reports an impossible residual count.
TEST_F(scsi_transport, ResponseRespectsTheCallersCapacity) {
  vtok::token& t = plug_token();
  open(t);
  const bytes apdu = vtt::echo_apdu(40);  // 33 data bytes + SW answered
  const struct {
    const char* name;
    bool wrong_resid;
    int result;
  } cases[] = {{"true residual", false, 4}, {"residual -100", true, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.wrong_resid) t.arm_fault({fault_kind::sg_wrong_resid, 1, static_cast<uint32_t>(-100), 0});
    ASSERT_EQ(dev_->send_data(apdu.data(), 40), 0);
    bytes buf(16 + 8, 0xCC);
    int len = 16;
    EXPECT_EQ(dev_->receive_data(buf.data(), &len), c.result);
    EXPECT_EQ(len, 16);
    EXPECT_EQ(bytes(buf.begin() + 16, buf.end()), bytes(8, 0xCC));
    EXPECT_EQ(vtt::entries_of(t, kind::sg_io).back().dxfer_len, 16u + 3u);
  }
  bytes resp;
  ASSERT_EQ(exchange(apdu, &resp, 35), 0);
  EXPECT_EQ(resp.size(), 35u);
}

TEST_F(scsi_transport, ClosedOrUnpluggedFailsToSendAndReceive) {
  vtok::token& t = plug_token();
  dev_ = std::make_unique<linux_device_scsi>("/dev/sg0");
  const bytes apdu = vtt::echo_apdu(10);
  EXPECT_EQ(dev_->send_data(apdu.data(), 10), 1) << "never opened";
  bytes buf(2048);
  int len = 2048;
  EXPECT_EQ(dev_->receive_data(buf.data(), &len), 1);
  ASSERT_EQ(dev_->open(), 0);
  env_->bus.unplug(t.serial());
  EXPECT_EQ(dev_->device_io(apdu.data(), 10, buf.data(), &len), 1);
  EXPECT_EQ(dev_->open(), 1) << "the node is gone";
  linux_device_scsi nowhere("/dev/sg9");
  EXPECT_EQ(nowhere.open(), 1);
}

// ---- pass-through ----

TEST_F(scsi_transport, PassThroughCommandsReachTheSectorsAndTheCardOs) {
  vtok::token& t = plug_token();
  open(t);
  // WRITE(10)/READ(10) of one 2048-byte sector at LBA 3, as the sector
  // commands lay out their 16-byte block.
  bytes sector(2048);
  for (size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<uint8_t>(i * 13);
  const uint8_t write_block[16] = {0x2A, 0, 0, 0, 0, 3, 0, 0, 1};
  const uint8_t read_block[16] = {0x28, 0, 0, 0, 0, 3, 0, 0, 1};
  ASSERT_EQ(dev_->send_raw_data(write_block, 16, sector.data(), 2048), 0);
  bytes back(2048);
  long len = 2048;
  ASSERT_EQ(dev_->receive_raw_data(read_block, 16, back.data(), &len), 0);
  EXPECT_EQ(len, 2048);
  EXPECT_EQ(back, sector);
  const auto io = vtt::entries_of(t, kind::sg_io);
  ASSERT_EQ(io.size(), 2u);
  EXPECT_EQ(io[0].bytes.size(), 12u);
  EXPECT_EQ(io[0].bytes[0], 0x2A);
  EXPECT_EQ(io[0].bytes[5], 3);

  // A vendor block the card OS knows: its answer is the data-in.
  t.os().register_raw_handler(0xF0, 0x01, [](vtok::card_os&, const vtok::raw_command& c) {
    return vtok::raw_answer(bytes{c.block[2], c.block[11], 0x5A});
  });
  const uint8_t query[16] = {0xF0, 0x01, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0x42, 0xEE};
  bytes answer(32);
  len = 32;
  ASSERT_EQ(dev_->receive_raw_data(query, 16, answer.data(), &len), 0);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(bytes(answer.begin(), answer.begin() + 3), (bytes{0x77, 0x42, 0x5A}))
      << "bytes 1 to 11 of the block follow the code byte; byte 12 on is not sent";

  // Unknown blocks and sectors beyond the store end in CHECK CONDITION.
  const uint8_t unknown[16] = {0xF0, 0x7F};
  len = 32;
  EXPECT_EQ(dev_->receive_raw_data(unknown, 16, answer.data(), &len), 1);
  const uint8_t far[16] = {0x28, 0, 0x10, 0, 0, 0, 0, 0, 1};
  len = 2048;
  EXPECT_EQ(dev_->receive_raw_data(far, 16, back.data(), &len), 1);
  EXPECT_EQ(dev_->send_raw_data(nullptr, 0, nullptr, 0), 1);
}

}  // namespace
