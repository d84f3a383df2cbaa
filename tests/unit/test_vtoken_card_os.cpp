// The card OS on its own: APDU parsing, dispatch, chaining, GenRandom and
// the persistent/volatile state split.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "card_os.h"
#include "vtok_hid_host.h"

using namespace vtok;
using vtok_test::apdu1;
using vtok_test::apdu2e;
using vtok_test::apdu3e;
using vtok_test::apdu4e;
using vtok_test::sw_of;

namespace {

// An echo command (CLA 80 INS EE): answers its data; records what it saw.
struct echo_probe {
  int calls = 0;
  command last;
};

void add_echo(card_os& os, echo_probe& probe) {
  os.register_handler(0x80, 0xEE, [&probe](card_os&, const command& c) {
    ++probe.calls;
    probe.last = c;
    response r;
    r.data = c.data;
    return r;
  });
}

std::vector<uint8_t> bytes(size_t n, uint8_t seed = 1) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

}  // namespace

struct parse_case {
  const char* name;
  std::vector<uint8_t> apdu;
  uint16_t sw;   // expected status
  int calls;     // handler reached?
};

class card_os_parse : public ::testing::TestWithParam<parse_case> {};

TEST_P(card_os_parse, EncodingsAndMalformedLengths) {
  card_os os;
  echo_probe probe;
  add_echo(os, probe);
  const auto r = os.process(GetParam().apdu);
  EXPECT_EQ(sw_of(r), GetParam().sw);
  EXPECT_EQ(probe.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    cases, card_os_parse,
    ::testing::Values(
        parse_case{"case1", {0x80, 0xEE, 0, 0}, 0x9000, 1},
        parse_case{"case2e", {0x80, 0xEE, 0, 0, 0, 0x01, 0x00}, 0x9000, 1},
        parse_case{"case3e", {0x80, 0xEE, 0, 0, 0, 0, 2, 0xAA, 0xBB}, 0x9000, 1},
        parse_case{"case4e", {0x80, 0xEE, 0, 0, 0, 0, 1, 0xAA, 0, 5}, 0x9000, 1},
        parse_case{"too_short", {0x80, 0xEE, 0}, 0x6700, 0},
        parse_case{"empty", {}, 0x6700, 0},
        parse_case{"short_form_le", {0x80, 0xEE, 0, 0, 0x10}, 0x6700, 0},
        parse_case{"short_form_lc", {0x80, 0xEE, 0, 0, 2, 0xAA, 0xBB}, 0x6700, 0},
        parse_case{"lc_beyond_data", {0x80, 0xEE, 0, 0, 0, 0, 5, 1, 2}, 0x6700, 0},
        parse_case{"lc_zero_with_data", {0x80, 0xEE, 0, 0, 0, 0, 0, 1}, 0x6700, 0},
        parse_case{"one_byte_le", {0x80, 0xEE, 0, 0, 0, 0, 1, 0xAA, 0}, 0x6700, 0},
        parse_case{"three_trailing", {0x80, 0xEE, 0, 0, 0, 0, 1, 0xAA, 0, 1, 2}, 0x6700, 0},
        parse_case{"unknown_ins", {0x80, 0x77, 0, 0}, 0x6D00, 0},
        parse_case{"unknown_cla", {0x00, 0xEE, 0, 0}, 0x6D00, 0}),
    [](const ::testing::TestParamInfo<parse_case>& i) { return i.param.name; });

TEST(card_os, ParsedFieldsReachTheHandler) {
  card_os os;
  echo_probe probe;
  add_echo(os, probe);
  auto r = os.process(apdu4e(0x80, 0xEE, 0x12, 0x34, {1, 2, 3}, 0));
  EXPECT_EQ(sw_of(r), 0x9000);
  EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.end() - 2), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(probe.last.p1, 0x12);
  EXPECT_EQ(probe.last.p2, 0x34);
  EXPECT_EQ(probe.last.apdu_case, 4);
  EXPECT_TRUE(probe.last.has_le);
  EXPECT_EQ(probe.last.le, 65536u);  // Le 0000 asks for everything

  os.process(apdu2e(0x80, 0xEE, 0, 0, 0x1234));
  EXPECT_EQ(probe.last.apdu_case, 2);
  EXPECT_EQ(probe.last.le, 0x1234u);
  EXPECT_TRUE(probe.last.data.empty());
}

TEST(card_os, ChainedPartsReachTheHandlerAsOneCommand) {
  card_os os;
  echo_probe probe;
  add_echo(os, probe);
  const auto a = bytes(1000, 1), b = bytes(1000, 2), c = bytes(452, 3);
  EXPECT_EQ(sw_of(os.process(apdu3e(0x90, 0xEE, 1, 2, a))), 0x9000);
  EXPECT_EQ(os.last_outcome().chain, apdu_outcome::chain_step::part_accepted);
  EXPECT_EQ(sw_of(os.process(apdu3e(0x90, 0xEE, 1, 2, b))), 0x9000);
  EXPECT_EQ(probe.calls, 0);
  const auto r = os.process(apdu3e(0x80, 0xEE, 1, 2, c));
  EXPECT_EQ(os.last_outcome().chain, apdu_outcome::chain_step::completed);
  ASSERT_EQ(probe.calls, 1);
  std::vector<uint8_t> all = a;
  all.insert(all.end(), b.begin(), b.end());
  all.insert(all.end(), c.begin(), c.end());
  EXPECT_EQ(probe.last.data, all);
  EXPECT_EQ(probe.last.cla, 0x80);
  EXPECT_EQ(r.size(), all.size() + 2);
  EXPECT_FALSE(os.volatiles().chain_active);
}

TEST(card_os, ChainWithChangedHeaderIsAbortedAndNotRun) {
  struct change {
    const char* what;
    std::vector<uint8_t> next;
  };
  const std::vector<change> changes = {
      {"ins", apdu3e(0x80, 0x50, 1, 2, {9})},
      {"p1", apdu3e(0x80, 0xEE, 7, 2, {9})},
      {"p2", apdu3e(0x80, 0xEE, 1, 7, {9})},
      {"cla", apdu3e(0x84, 0xEE, 1, 2, {9})},
  };
  for (const auto& ch : changes) {
    SCOPED_TRACE(ch.what);
    card_os os;
    echo_probe probe;
    add_echo(os, probe);
    os.register_handler(0x84, 0xEE, [&](card_os&, const command&) {
      ++probe.calls;
      return response{};
    });
    ASSERT_EQ(sw_of(os.process(apdu3e(0x90, 0xEE, 1, 2, {1, 2}))), 0x9000);
    EXPECT_EQ(sw_of(os.process(ch.next)), 0x6883);
    EXPECT_EQ(os.last_outcome().chain, apdu_outcome::chain_step::aborted);
    EXPECT_EQ(probe.calls, 0);
    EXPECT_FALSE(os.volatiles().chain_active);
    // The chain is gone: a fresh command runs with its own data only.
    auto r = os.process(apdu3e(0x80, 0xEE, 1, 2, {5}));
    EXPECT_EQ(r, (std::vector<uint8_t>{5, 0x90, 0x00}));
  }
}

TEST(card_os, ChainLargerThanTheLimitIsRefused) {
  card_os os;
  echo_probe probe;
  add_echo(os, probe);
  const auto part = bytes(60000);
  ASSERT_EQ(sw_of(os.process(apdu3e(0x90, 0xEE, 0, 0, part))), 0x9000);
  EXPECT_EQ(sw_of(os.process(apdu3e(0x90, 0xEE, 0, 0, bytes(5537)))), 0x6700);
  EXPECT_FALSE(os.volatiles().chain_active);
  EXPECT_EQ(probe.calls, 0);
  // Exactly at the limit is fine.
  ASSERT_EQ(sw_of(os.process(apdu3e(0x90, 0xEE, 0, 0, part))), 0x9000);
  EXPECT_EQ(sw_of(os.process(apdu3e(0x80, 0xEE, 0, 0, bytes(5536)))), 0x9000);
  ASSERT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.last.data.size(), card_os::max_chain_bytes);
}

TEST(card_os, ChainingAnUnknownCommandIsRefusedAtOnce) {
  card_os os;
  EXPECT_EQ(sw_of(os.process(apdu3e(0x90, 0x77, 0, 0, {1}))), 0x6D00);
  EXPECT_FALSE(os.volatiles().chain_active);
}

TEST(card_os, HandlerExceptionBecomesAStatusNotACrash) {
  card_os os;
  os.register_handler(0x80, 0xEF, [](card_os&, const command&) -> response {
    throw std::runtime_error("boom");
  });
  EXPECT_EQ(sw_of(os.process(apdu1(0x80, 0xEF, 0, 0))), 0x6F00);
}

struct random_case {
  const char* name;
  std::vector<uint8_t> apdu;
  uint16_t sw;
  size_t len;
};

class gen_random : public ::testing::TestWithParam<random_case> {};

TEST_P(gen_random, LengthsAndParameters) {
  card_os os;
  const auto r = os.process(GetParam().apdu);
  EXPECT_EQ(sw_of(r), GetParam().sw);
  EXPECT_EQ(r.size(), GetParam().len + 2);
  EXPECT_EQ(os.last_outcome().challenge_issued, GetParam().sw == 0x9000);
  if (GetParam().sw == 0x9000) {
    EXPECT_EQ(os.volatiles().last_challenge, std::vector<uint8_t>(r.begin(), r.end() - 2));
  }
}

INSTANTIATE_TEST_SUITE_P(
    cases, gen_random,
    ::testing::Values(random_case{"one", apdu2e(0x80, 0x50, 0, 0, 1), 0x9000, 1},
                      random_case{"eight", apdu2e(0x80, 0x50, 0, 0, 8), 0x9000, 8},
                      random_case{"max", apdu2e(0x80, 0x50, 0, 0, 1024), 0x9000, 1024},
                      random_case{"remote_unblock", apdu2e(0x80, 0x50, 1, 0, 16), 0x9000, 16},
                      random_case{"le_zero", apdu2e(0x80, 0x50, 0, 0, 0), 0x6700, 0},
                      random_case{"over_max", apdu2e(0x80, 0x50, 0, 0, 1025), 0x6700, 0},
                      random_case{"no_le", apdu1(0x80, 0x50, 0, 0), 0x6700, 0},
                      random_case{"with_data", apdu4e(0x80, 0x50, 0, 0, {1}, 8), 0x6700, 0},
                      random_case{"bad_p1", apdu2e(0x80, 0x50, 2, 0, 8), 0x6A86, 0},
                      random_case{"bad_p2", apdu2e(0x80, 0x50, 0, 1, 8), 0x6A86, 0}),
    [](const ::testing::TestParamInfo<random_case>& i) { return i.param.name; });

TEST(card_os, GenRandomGivesFreshBytes) {
  card_os os;
  const auto a = os.process(apdu2e(0x80, 0x50, 0, 0, 32));
  const auto b = os.process(apdu2e(0x80, 0x50, 0, 0, 32));
  EXPECT_NE(a, b);
}

TEST(card_os, PersistentStateRoundTripsAndRejectsBadDocuments) {
  persistent_state s;
  s.serial = "VT123";
  s.label = "my token";
  persistent_state back;
  ASSERT_TRUE(back.from_json(s.to_json()));
  EXPECT_EQ(back.serial, "VT123");
  EXPECT_EQ(back.label, "my token");
  EXPECT_EQ(back.version, persistent_state::current_version);

  const std::vector<nlohmann::json> bad = {
      nlohmann::json::array(),
      nlohmann::json{{"serial", "x"}},                      // no version
      nlohmann::json{{"version", 99}, {"serial", "x"}},     // unknown version
      nlohmann::json{{"version", 1}, {"serial", 5}},        // wrong type
      nlohmann::json{{"version", 1}, {"serial", ""}},       // empty serial
      nlohmann::json{{"version", 1}, {"serial", "x"}, {"label", std::string(65, 'a')}},
  };
  for (const auto& j : bad) {
    SCOPED_TRACE(j.dump());
    persistent_state t = s;
    std::string err;
    EXPECT_FALSE(t.from_json(j, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(t.serial, "VT123");  // untouched
  }
}

TEST(card_os, StateChangeIsReportedOnlyForChangingCommands) {
  card_os os;
  int notified = 0;
  std::string seen;
  os.set_state_changed_callback([&](const persistent_state& s) {
    ++notified;
    seen = s.label;
  });
  os.register_handler(0x80, 0xE1, [](card_os& o, const command& c) {
    o.persistent().label.assign(c.data.begin(), c.data.end());
    o.mark_persistent_changed();
    return response{};
  });
  os.process(apdu2e(0x80, 0x50, 0, 0, 8));
  EXPECT_EQ(notified, 0);
  EXPECT_FALSE(os.state_changed());
  os.process(apdu3e(0x80, 0xE1, 0, 0, {'a', 'b'}));
  EXPECT_EQ(notified, 1);
  EXPECT_EQ(seen, "ab");
  EXPECT_TRUE(os.take_state_changed());
  EXPECT_FALSE(os.state_changed());
}

TEST(card_os, ResetDropsVolatileStateOnly) {
  card_os os;
  os.persistent().label = "kept";
  os.process(apdu2e(0x80, 0x50, 0, 0, 8));
  os.process(apdu3e(0x90, 0x50, 0, 0, {1}));
  ASSERT_TRUE(os.volatiles().chain_active);
  ASSERT_FALSE(os.volatiles().last_challenge.empty());
  os.reset_volatile();
  EXPECT_FALSE(os.volatiles().chain_active);
  EXPECT_TRUE(os.volatiles().last_challenge.empty());
  EXPECT_EQ(os.persistent().label, "kept");
}
