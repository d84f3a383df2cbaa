// Durability of token state under the service directory: kill -9 in the
// middle of a burst of state-changing commands, restarts, stored tokens,
// safe file names and damaged files.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "transport/vtoken_client_backend.h"
#include "vtoken_service_harness.h"
#include "vtok_hid_host.h"

using rx::plat::vtoken_client_backend;
using vtok_test::hid_host;

namespace {

std::vector<uint8_t> set_label(const std::string& label) {
  return vtok_test::apdu3e(0x80, 0x02, 0x00, 0x00, std::vector<uint8_t>(label.begin(), label.end()));
}

// The stored document of a token; fails the test when it is not valid.
nlohmann::json stored(const vtsvc::service& svc, const std::string& file) {
  std::ifstream in(svc.dir() + "/" + file);
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json j = nlohmann::json::parse(text.str(), nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << file << ": " << text.str();
  return j.is_discarded() ? nlohmann::json::object() : j;
}

std::string stored_label(const vtsvc::service& svc, const std::string& file) {
  nlohmann::json j = stored(svc, file);
  if (!j.contains("os") || !j["os"].contains("label")) return {};
  return j["os"]["label"].get<std::string>();
}

TEST(VtokenPersistence, KillNineDuringABurstKeepsTheLastAnsweredWrite) {
  vtsvc::service svc;
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_EQ(svc.plug({"--serial", "PERSIST-1"}), "PERSIST-1");
  const std::string file = "token-PERSIST-1.json";

  long long last_answered = -1;
  for (int round = 0; round < 5; ++round) {
    if (round > 0) {
      ASSERT_TRUE(svc.start()) << svc.log();  // the token comes back plugged
    }
    vtoken_client_backend client(svc.dir());
    hid_host host(client);
    ASSERT_TRUE(host.ok()) << "round " << round << "\n" << svc.log();

    std::atomic<long long> answered{last_answered};
    std::thread writer([&] {
      for (long long n = answered + 1;; ++n) {
        std::vector<uint8_t> resp = host.transmit(set_label("L" + std::to_string(n)));
        if (vtok_test::sw_of(resp) != 0x9000) return;  // the service is gone
        answered = n;
      }
    });
    // Kill at some point after a few dozen answered writes.
    for (int i = 0; i < 20000 && answered < last_answered + 25 + 7 * round; ++i)
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    svc.kill_hard();
    writer.join();
    ASSERT_GT(answered.load(), last_answered) << "no write was answered in round " << round;
    last_answered = answered;

    // A whole document with the last answered label, or the one in flight.
    const std::string label = stored_label(svc, file);
    ASSERT_EQ(label.rfind("L", 0), 0u) << label;
    const long long n = std::stoll(label.substr(1));
    EXPECT_TRUE(n == last_answered || n == last_answered + 1) << "stored " << n << ", answered " << last_answered;
    last_answered = n;
  }
  ASSERT_TRUE(svc.start()) << svc.log();
  EXPECT_NE(svc.cli({"list"}).out.find("PERSIST-1 hid 7e3b:e618 bus=1 address=2 plugged"), std::string::npos)
      << svc.cli({"list"}).out;
  EXPECT_TRUE(svc.stop()) << svc.log();
}

TEST(VtokenPersistence, RestartReplugsPluggedTokensAndKeepsStoredOnesForPlug) {
  vtsvc::service svc;
  ASSERT_TRUE(svc.start()) << svc.log();
  const std::string a = svc.plug({"--serial", "../A 1"});
  const std::string b = svc.plug({"--serial", "B", "--bus", "2", "--address", "7"});
  {
    vtoken_client_backend client(svc.dir());
    hid_host host(client, 7);
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(vtok_test::sw_of(host.transmit(set_label("kept label"))), 0x9000);
  }
  ASSERT_EQ(svc.cli({"unplug", b}).status, 0);
  ASSERT_TRUE(svc.stop()) << svc.log();

  // One file per token, inside the directory, named safely.
  EXPECT_TRUE(std::filesystem::exists(svc.dir() + "/token-.._2fA_201.json"));
  EXPECT_EQ(stored(svc, "token-.._2fA_201.json")["serial"], a);
  EXPECT_EQ(stored_label(svc, "token-B.json"), "kept label");
  // A damaged file is skipped with a log line; the others load.
  std::ofstream(svc.dir() + "/token-broken.json") << "{\"serial\": \"bro";

  ASSERT_TRUE(svc.start()) << svc.log();
  std::string list = svc.cli({"list"}).out;
  EXPECT_NE(list.find("../A 1 hid 7e3b:e618 bus=1 address=2 plugged"), std::string::npos) << list;
  EXPECT_NE(list.find("B hid 7e3b:e618 bus=-1 address=-1 unplugged"), std::string::npos) << list;
  EXPECT_NE(svc.log().find("token-broken.json"), std::string::npos);

  // The stored token plugs at its old place with its card state restored:
  // the unplug below writes the live card OS's state back.
  ASSERT_EQ(svc.plug({"--serial", b}), b);
  EXPECT_NE(svc.cli({"list"}).out.find("B hid 7e3b:e618 bus=2 address=7 plugged"), std::string::npos);
  ASSERT_EQ(svc.cli({"unplug", b}).status, 0);
  EXPECT_EQ(stored_label(svc, "token-B.json"), "kept label");
  EXPECT_FALSE(stored(svc, "token-B.json")["plugged"].get<bool>());
  EXPECT_TRUE(svc.stop()) << svc.log();
}

}  // namespace
