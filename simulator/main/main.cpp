// rx7100-vtoken: runs the virtual token service and drives it from scripts.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "service/control_client.h"
#include "service/service.h"

namespace {

using nlohmann::json;

// Accepts decimal or 0x-prefixed hexadecimal within [0, max].
bool parse_number(const std::string& text, unsigned long max, unsigned long* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  try {
    size_t used = 0;
    unsigned long v = std::stoul(text, &used, 0);
    if (used != text.size() || v > max) return false;
    *out = v;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

int fail(const std::string& msg) {
  std::cerr << "rx7100-vtoken: " << msg << "\n";
  return 1;
}

// Sends one control request; prints the error and returns false on failure.
bool ask(const std::string& dir, const json& req, json* answer) {
  vtok::svc::control_client c;
  std::string err;
  if (!c.connect(dir, &err) || !c.request(req, answer, &err)) {
    fail(err);
    return false;
  }
  return true;
}

void print_log(const json& entries) {
  for (const json& e : entries) {
    std::string what = e.value("what", "");
    std::printf("%llu client=%d %s", static_cast<unsigned long long>(e.value("time", 0ull)),
                e.value("client", 0), what.c_str());
    if (what == "interrupt_out" || what == "interrupt_in") {
      std::printf(" ep=0x%02x", e.value("endpoint", 0));
    } else if (what == "control_out" || what == "control_in") {
      std::printf(" req=%02x/%02x value=0x%04x index=0x%04x", e.value("request_type", 0),
                  e.value("request", 0), e.value("value", 0), e.value("index", 0));
    } else if (what == "sg_io") {
      std::printf(" node=/dev/sg%d direction=%d dxfer_len=%u resid=%d", e.value("index", 0),
                  e.value("sg_direction", 0), e.value("dxfer_len", 0u), e.value("resid", 0));
    } else if (what == "claim" || what == "release" || what == "kernel_driver") {
      std::printf(" interface=%d", e.value("index", 0));
    }
    std::printf(" timeout=%u result=%d", e.value("timeout", 0u), e.value("result", 0));
    std::string bytes = e.value("bytes", "");
    std::string data = e.value("data", "");
    std::string note = e.value("note", "");
    if (!bytes.empty()) std::printf(" bytes=%s", bytes.c_str());
    if (!data.empty()) std::printf(" data=%s", data.c_str());
    if (!note.empty()) std::printf(" note=\"%s\"", note.c_str());
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"rx7100-vtoken: the virtual token service and its command line.\n"
               "Every command names the service directory with --dir."};
  app.require_subcommand(1);
  std::string dir;

  auto* serve = app.add_subcommand("serve", "Run the service for DIR (in the foreground unless --background)");
  vtok::svc::service_options sopt;
  serve->add_option("--dir", sopt.dir, "Service directory (created 0700)")->required();
  serve->add_flag("--background", sopt.background, "Detach; return once the socket is ready");
  serve->add_option("--log", sopt.log_file, "Log file when detached (default DIR/vtoken.log)");

  auto* plug = app.add_subcommand("plug", "Plug a new token, or the stored one with --serial; prints its serial");
  plug->add_option("--dir", dir, "Service directory")->required();
  std::string transport = "hid", pid_text, vid_text, serial;
  int bus = -1, address = -1;
  plug->add_option("--transport", transport, "hid, hidctr or scsi (default hid)")
      ->check(CLI::IsMember({"hid", "hidctr", "scsi"}));
  plug->add_option("--pid", pid_text, "USB product id (default 0xe618)");
  plug->add_option("--vid", vid_text, "USB vendor id (default 0x7e3b)");
  plug->add_option("--serial", serial, "Serial of the token (default: a new one)");
  auto* bus_opt = plug->add_option("--bus", bus, "Bus number")->check(CLI::Range(1, 255));
  auto* addr_opt = plug->add_option("--address", address, "Device address")->check(CLI::Range(1, 127));
  addr_opt->needs(bus_opt);
  int sg_index = -1;
  plug->add_option("--sg-index", sg_index, "scsi tokens: the sg node number N of /dev/sgN (default: the lowest free)")
      ->check(CLI::Range(0, 255));
  std::string label, oem_text, feature_text;
  plug->add_option("--label", label, "Label of a new token (at most 32 bytes)");
  plug->add_option("--oem", oem_text,
                   "OEM data of a new token: text, or hex:HEX for bytes (at most 512; zero padded to 128)");
  plug->add_option("--feature", feature_text, "Feature word of a new token (bit 1: fingerprint sensor; default 1)");

  auto* unplug = app.add_subcommand("unplug", "Unplug a token (its state stays stored)");
  unplug->add_option("--dir", dir, "Service directory")->required();
  unplug->add_option("SERIAL", serial, "Token serial")->required();

  bool same_address = false;
  auto* replug = app.add_subcommand("replug", "Unplug and plug a token again (a new address unless --same-address)");
  replug->add_option("--dir", dir, "Service directory")->required();
  replug->add_option("SERIAL", serial, "Token serial")->required();
  replug->add_flag("--same-address", same_address, "Keep the bus address");

  auto* list = app.add_subcommand("list", "List stored tokens: serial transport vid:pid bus address plugged|unplugged [/dev/sgN]");
  list->add_option("--dir", dir, "Service directory")->required();

  auto* stop = app.add_subcommand("stop", "Stop the service");
  stop->add_option("--dir", dir, "Service directory")->required();

  bool reset = false;
  auto* stats = app.add_subcommand("stats", "Print a token's counters, one name=value per line");
  stats->add_option("--dir", dir, "Service directory")->required();
  stats->add_option("SERIAL", serial, "Token serial")->required();
  stats->add_flag("--reset", reset, "Zero the counters after printing them");

  auto* log = app.add_subcommand("log", "Print a token's transfer record");
  log->add_option("--dir", dir, "Service directory")->required();
  log->add_option("SERIAL", serial, "Token serial")->required();

  std::string kind, count_text = "1", param_text, param2_text;
  auto* fault = app.add_subcommand(
      "fault",
      "Arm a fault on a token. KIND: claim-busy, no-device-mid-frame, read-timeout, drop-response,\n"
      "bad-signature, header-length-too-big, bad-tag, declared-length-long [--param EXTRA],\n"
      "empty-reports --n N, force-sw --ins INS --sw SW, or clear (disarms all).\n"
      "COUNT: how many transfers or commands it applies to (default 1; -1: until cleared)");
  fault->add_option("--dir", dir, "Service directory")->required();
  fault->add_option("SERIAL", serial, "Token serial")->required();
  fault->add_option("KIND", kind, "Fault kind")->required();
  fault->add_option("COUNT", count_text, "Number of uses (default 1, -1: until cleared)");
  fault->add_option("--param,--n,--ins", param_text, "First parameter (empty-reports: N; force-sw: INS)");
  fault->add_option("--param2,--sw", param2_text, "Second parameter (force-sw: the status word)");

  CLI11_PARSE(app, argc, argv);

  if (*serve) return vtok::svc::serve(sopt);

  json answer;
  if (*plug) {
    json req{{"cmd", "plug"}};
    if (plug->count("--transport")) req["transport"] = transport;
    unsigned long v;
    if (!pid_text.empty()) {
      if (!parse_number(pid_text, 0xFFFF, &v)) return fail("--pid: not a 16-bit number: " + pid_text);
      req["pid"] = v;
    }
    if (!vid_text.empty()) {
      if (!parse_number(vid_text, 0xFFFF, &v)) return fail("--vid: not a 16-bit number: " + vid_text);
      req["vid"] = v;
    }
    if (!serial.empty()) req["serial"] = serial;
    if (bus >= 0) req["bus"] = bus;
    if (address >= 0) req["address"] = address;
    if (sg_index >= 0) req["sg_index"] = sg_index;
    if (plug->count("--label")) {
      if (label.size() > 32) return fail("--label: longer than 32 bytes");
      req["label"] = label;
    }
    if (!oem_text.empty()) {
      std::vector<uint8_t> oem(oem_text.begin(), oem_text.end());
      if (oem_text.rfind("hex:", 0) == 0) {
        const std::string hex = oem_text.substr(4);
        oem.assign(hex.size() / 2, 0);
        size_t n = 0;
        if (hex.empty() || hex.size() % 2 ||
            OPENSSL_hexstr2buf_ex(oem.data(), oem.size(), &n, hex.c_str(), '\0') != 1)
          return fail("--oem: bad hex: " + hex);
      }
      if (oem.size() > 512) return fail("--oem: longer than 512 bytes");
      std::string hex(oem.size() * 2 + 1, '\0');
      size_t used = 0;
      OPENSSL_buf2hexstr_ex(&hex[0], hex.size(), &used, oem.data(), oem.size(), '\0');
      hex.resize(used ? used - 1 : 0);
      req["oem_hex"] = hex;
    }
    if (!feature_text.empty()) {
      if (!parse_number(feature_text, 0xFFFF, &v)) return fail("--feature: not a 16-bit number: " + feature_text);
      req["feature"] = v;
    }
    if (!ask(dir, req, &answer)) return 1;
    std::cout << answer.value("serial", "") << "\n";
    return 0;
  }
  if (*unplug) return ask(dir, {{"cmd", "unplug"}, {"serial", serial}}, &answer) ? 0 : 1;
  if (*replug) {
    if (!ask(dir, {{"cmd", "replug"}, {"serial", serial}, {"same_address", same_address}}, &answer)) return 1;
    std::cout << answer.value("serial", "") << " bus=" << answer.value("bus", 0)
              << " address=" << answer.value("address", 0) << "\n";
    return 0;
  }
  if (*list) {
    if (!ask(dir, {{"cmd", "list"}}, &answer)) return 1;
    const json tokens = answer.value("tokens", json::array());
    for (const json& t : tokens) {
      std::printf("%s %s %04x:%04x bus=%d address=%d %s", t.value("serial", "").c_str(),
                  t.value("transport", "").c_str(), t.value("vid", 0u), t.value("pid", 0u), t.value("bus", -1),
                  t.value("address", -1), t.value("plugged", false) ? "plugged" : "unplugged");
      const int sg = t.value("sg_index", -1);
      if (sg >= 0) std::printf(" /dev/sg%d", sg);
      std::printf("\n");
    }
    return 0;
  }
  if (*stop) return ask(dir, {{"cmd", "stop"}}, &answer) ? 0 : 1;
  if (*stats) {
    if (!ask(dir, {{"cmd", "stats"}, {"serial", serial}, {"reset", reset}}, &answer)) return 1;
    const json counters = answer.value("stats", json::object());
    for (const auto& [name, value] : counters.items()) std::cout << name << "=" << value.dump() << "\n";
    return 0;
  }
  if (*log) {
    if (!ask(dir, {{"cmd", "log"}, {"serial", serial}}, &answer)) return 1;
    const json entries = answer.value("log", json::array());
    print_log(entries);
    return 0;
  }
  if (*fault) {
    json req{{"cmd", "fault"}, {"serial", serial}, {"kind", kind}};
    try {
      size_t used = 0;
      long c = std::stol(count_text, &used, 0);
      if (used != count_text.size() || c < -1 || c > 1000000 || c == 0) throw std::out_of_range("count");
      req["count"] = c;
    } catch (const std::exception&) {
      return fail("COUNT: expected a number from 1 to 1000000, or -1: " + count_text);
    }
    unsigned long v;
    if (!param_text.empty()) {
      if (!parse_number(param_text, 0xFFFFFFFFul, &v)) return fail("--param: not a number: " + param_text);
      req["param"] = v;
    }
    if (!param2_text.empty()) {
      if (!parse_number(param2_text, 0xFFFFFFFFul, &v)) return fail("--param2: not a number: " + param2_text);
      req["param2"] = v;
    }
    return ask(dir, req, &answer) ? 0 : 1;
  }
  return 0;
}
