// The transfer record, the counters and the interleave detector, with two
// clients sharing one token.
#include <gtest/gtest.h>

#include "card_os.h"
#include "vtok_fixture.h"
#include "vtok_hid_host.h"

using namespace rx::plat;
using namespace vtok_test;
using kind = vtok::transfer_entry::kind;

TEST(vtoken_record, EntriesCarryClientKindEndpointTimeoutBytesAndResult) {
  vtok_env env;
  env.clock.advance(500);
  hid_host h(env.backend);
  ASSERT_TRUE(h.ok());
  env.token->clear_record();
  env.token->reset_stats();

  const auto apdu = apdu2e(0x80, 0x50, 0, 0, 8);
  const auto out = frame_reports(request_frame(apdu));
  ASSERT_EQ(h.send_report(out[0], 1234), 0);
  std::vector<report> in;
  ASSERT_EQ(h.read_frame(nullptr, &in, 64, 777), 0);
  report extra{};
  int done = 0;
  const uint64_t before = env.clock.now_ms();
  EXPECT_EQ(env.backend.usb_interrupt_transfer(h.handle(), 0x81, extra.data(), 64, &done, 250),
            USB_ERROR_TIMEOUT);

  const auto rec = env.token->record();
  ASSERT_EQ(rec.size(), 3u);
  EXPECT_EQ(rec[0].what, kind::interrupt_out);
  EXPECT_EQ(rec[0].client, 0);
  EXPECT_EQ(rec[0].endpoint, 0x01);
  EXPECT_EQ(rec[0].timeout_ms, 1234u);
  EXPECT_EQ(rec[0].result, 0);
  EXPECT_EQ(rec[0].bytes, std::vector<uint8_t>(out[0].begin(), out[0].end()));
  EXPECT_EQ(rec[1].what, kind::interrupt_in);
  EXPECT_EQ(rec[1].endpoint, 0x81);
  EXPECT_EQ(rec[1].timeout_ms, 777u);
  EXPECT_EQ(rec[1].bytes, std::vector<uint8_t>(in[0].begin(), in[0].end()));
  EXPECT_EQ(rec[2].result, USB_ERROR_TIMEOUT);
  EXPECT_TRUE(rec[2].bytes.empty());
  EXPECT_EQ(rec[2].time_ms, before);
  EXPECT_EQ(env.clock.now_ms(), before + 250);

  const auto st = env.token->stats();
  EXPECT_EQ(st.apdus, 1u);
  EXPECT_EQ(st.reports_out, 1u);
  EXPECT_EQ(st.reports_in, 1u);
  EXPECT_EQ(st.interleaved, 0u);
}

TEST(vtoken_record, SessionOperationsAreRecorded) {
  vtok_env env;
  {
    hid_host h(env.backend);
    ASSERT_TRUE(h.ok());
  }
  std::vector<kind> kinds;
  for (const auto& e : env.token->record()) kinds.push_back(e.what);
  EXPECT_EQ(kinds, (std::vector<kind>{kind::open, kind::kernel_driver, kind::kernel_driver,
                                      kind::claim, kind::release, kind::close}));
}

TEST(vtoken_record, RecordIsBounded) {
  vtok::transfer_record r(3);
  for (int i = 0; i < 5; ++i) {
    vtok::transfer_entry e;
    e.result = i;
    r.add(e);
  }
  const auto all = r.entries();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all.front().result, 2);
  EXPECT_EQ(r.dropped(), 2u);
}

// Two clients (two backends with their own ids) on one token. Claims are
// released between commands here, as the transport does, so traffic can mix.
class vtoken_interleave : public ::testing::Test {
 protected:
  vtok_env env;
  vtok::sim_backend other{env.bus, env.clock, 2};
  std::unique_ptr<hid_host> a, b;

  void SetUp() override {
    a = std::make_unique<hid_host>(env.backend);
    ASSERT_TRUE(a->ok());
    a->release();
    b = std::make_unique<hid_host>(other);
    ASSERT_EQ(b->open_result(), 0);
    b->release();
    env.token->reset_stats();
    env.token->clear_record();
  }
  // One exchange with claim and release around it.
  std::vector<uint8_t> xfer(hid_host& h, const std::vector<uint8_t>& apdu) {
    EXPECT_EQ(h.claim(), 0);
    auto r = h.transmit(apdu);
    h.release();
    return r;
  }
  std::vector<vtok::transfer_entry> interleaves() {
    std::vector<vtok::transfer_entry> out;
    for (const auto& e : env.token->record())
      if (e.what == kind::interleave) out.push_back(e);
    return out;
  }
};

TEST_F(vtoken_interleave, SeparateCommandsDoNotCount) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(sw_of(xfer(*a, apdu2e(0x80, 0x77, 0, 0, 8))), 0x6D00);
    EXPECT_EQ(sw_of(xfer(*b, apdu2e(0x80, 0x77, 0, 0, 8))), 0x6D00);
  }
  EXPECT_EQ(env.token->stats().interleaved, 0u);
}

TEST_F(vtoken_interleave, ForeignReadInsideAFrameCountsOnce) {
  ASSERT_EQ(a->claim(), 0);
  ASSERT_EQ(a->send_frame(request_frame(apdu2e(0x80, 0x50, 0, 0, 200))), 0);
  a->release();
  // Client 2 reads the first report of client 0's response, twice.
  ASSERT_EQ(b->claim(), 0);
  for (int i = 0; i < 2; ++i) {
    report r{};
    int done = 0;
    EXPECT_EQ(other.usb_interrupt_transfer(b->handle(), 0x81, r.data(), 64, &done, 100), 0);
  }
  b->release();
  EXPECT_EQ(env.token->stats().interleaved, 1u);
  const auto ev = interleaves();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].client, 2);
  EXPECT_EQ(ev[0].note, "frame of client 0 interrupted by client 2");
}

TEST_F(vtoken_interleave, ForeignCommandInsideAChainCounts) {
  EXPECT_EQ(sw_of(xfer(*a, apdu3e(0x90, 0x50, 0, 0, {1}))), 0x9000);
  EXPECT_EQ(sw_of(xfer(*b, apdu1(0x80, 0x77, 0, 0))), 0x6883);  // breaks client 0's chain
  EXPECT_EQ(env.token->stats().interleaved, 1u);
  const auto ev = interleaves();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].note, "chain of client 0 interrupted by client 2");
}

TEST_F(vtoken_interleave, ChallengeCountsOnlyWhenItsUserFollowsForeignTraffic) {
  // A command that uses the last challenge (a stand-in for the PIN and
  // authentication commands).
  env.bus.with_lock([&] {
    env.token->os().register_handler(0x80, 0xE7, [](vtok::card_os& os, const vtok::command&) {
      return os.use_challenge().empty() ? vtok::response::status(0x6985) : vtok::response{};
    });
  });
  const auto challenge = apdu2e(0x80, 0x50, 0, 0, 8);
  const auto use = apdu1(0x80, 0xE7, 0, 0);

  // Challenge then use, undisturbed.
  xfer(*a, challenge);
  EXPECT_EQ(sw_of(xfer(*a, use)), 0x9000);
  EXPECT_EQ(env.token->stats().interleaved, 0u);

  // Foreign traffic in between, but the next command does not use the value.
  xfer(*a, challenge);
  xfer(*b, apdu1(0x80, 0x77, 0, 0));
  xfer(*a, apdu1(0x80, 0x77, 0, 0));
  EXPECT_EQ(env.token->stats().interleaved, 0u);

  // Foreign traffic between the challenge and its use.
  xfer(*a, challenge);
  xfer(*b, challenge);  // client 2 even replaces the token's last challenge
  xfer(*a, use);
  EXPECT_EQ(env.token->stats().interleaved, 1u);
  const auto ev = interleaves();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].note, "challenge of client 0 interrupted by client 2");
}
