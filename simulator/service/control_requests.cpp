// Control commands of the command line: plugging, listing, counters, the
// transfer record and faults.
#include <openssl/crypto.h>

#include <cstdio>
#include <stdexcept>

#include "service/label_command.h"
#include "service/token_service.h"

namespace vtok {
namespace svc {

namespace {

using nlohmann::json;

std::string text_field(const json& req, const char* name, bool required) {
  if (!req.contains(name)) {
    if (required) throw std::invalid_argument(std::string("missing \"") + name + "\"");
    return {};
  }
  if (!req[name].is_string()) throw std::invalid_argument(std::string("\"") + name + "\" must be text");
  return req[name].get<std::string>();
}

long long number_field(const json& req, const char* name, long long min, long long max, long long dflt) {
  if (!req.contains(name)) return dflt;
  const json& v = req[name];
  if (!v.is_number_integer()) throw std::invalid_argument(std::string("\"") + name + "\" must be a whole number");
  long long n = v.get<long long>();
  if (n < min || n > max)
    throw std::invalid_argument(std::string("\"") + name + "\" out of range (" + std::to_string(min) + " to " +
                                std::to_string(max) + ")");
  return n;
}

bool bool_field(const json& req, const char* name) {
  if (!req.contains(name)) return false;
  if (!req[name].is_boolean()) throw std::invalid_argument(std::string("\"") + name + "\" must be true or false");
  return req[name].get<bool>();
}

transport_kind parse_transport(const std::string& t) {
  if (t == "hid") return transport_kind::hid;
  if (t == "hidctr") return transport_kind::hidctr;
  if (t == "scsi") return transport_kind::scsi;
  throw std::invalid_argument("unknown transport \"" + t + "\" (hid, hidctr or scsi)");
}

const char* transport_name(transport_kind k) {
  switch (k) {
    case transport_kind::hid: return "hid";
    case transport_kind::hidctr: return "hidctr";
    case transport_kind::scsi: return "scsi";
  }
  return "?";
}

std::string hex(const std::vector<uint8_t>& v) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(v.size() * 2);
  for (uint8_t b : v) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

struct fault_name {
  const char* name;
  fault_kind kind;
};
const fault_name kFaults[] = {
    {"claim-busy", fault_kind::claim_busy},
    {"no-device-mid-frame", fault_kind::no_device_mid_frame},
    {"read-timeout", fault_kind::read_timeout},
    {"drop-response", fault_kind::drop_response},
    {"bad-signature", fault_kind::bad_signature},
    {"header-length-too-big", fault_kind::header_length_too_big},
    {"bad-tag", fault_kind::bad_tag},
    {"declared-length-long", fault_kind::declared_length_long},
    {"empty-reports", fault_kind::empty_reports},
    {"force-sw", fault_kind::force_sw},
};

}  // namespace

json token_service::control(const json& req) {
  const std::string cmd = req["cmd"].get<std::string>();
  if (cmd == "plug") return cmd_plug(req);
  if (cmd == "unplug") return cmd_unplug(req);
  if (cmd == "replug") return cmd_replug(req);
  if (cmd == "list") return cmd_list();
  if (cmd == "stats") return cmd_stats(req);
  if (cmd == "log") return cmd_log(req);
  if (cmd == "fault") return cmd_fault(req);
  if (cmd == "stop") {
    log_("stop requested");
    if (on_stop_) on_stop_();
    return json::object();
  }
  throw std::invalid_argument("unknown command \"" + cmd + "\"");
}

json token_service::cmd_plug(const json& req) {
  std::lock_guard<std::mutex> plug_lock(plug_mu_);
  const std::string serial = text_field(req, "serial", false);
  const bool has_transport = req.contains("transport");
  const std::string transport = has_transport ? text_field(req, "transport", true) : "hid";
  const long long pid = number_field(req, "pid", 0, 0xFFFF, -1);
  const long long vid = number_field(req, "vid", 0, 0xFFFF, -1);
  const long long bus_no = number_field(req, "bus", 1, 255, -1);
  const long long address = number_field(req, "address", 1, 127, -1);
  if (address >= 0 && bus_no < 0) throw std::invalid_argument("an address needs a bus");
  const long long sg_index = number_field(req, "sg_index", 0, sg_max_index, -1);
  if (!serial.empty() && !token_store::valid_serial(serial))
    throw std::invalid_argument("invalid serial (1 to 64 printable characters)");

  token_config cfg;
  cfg.transport = parse_transport(transport);
  if (pid >= 0) cfg.pid = static_cast<uint16_t>(pid);
  if (vid >= 0) cfg.vid = static_cast<uint16_t>(vid);
  cfg.bus = static_cast<int>(bus_no);
  cfg.address = static_cast<int>(address);
  cfg.serial = serial;
  cfg.sg_index = static_cast<int>(sg_index);
  if (req.contains("label")) {
    cfg.label = text_field(req, "label", true);
    if (cfg.label->size() > 32) throw std::invalid_argument("label longer than 32 bytes");
  }
  const std::string oem_hex = text_field(req, "oem_hex", false);
  if (!oem_hex.empty()) {
    cfg.oem.assign(oem_hex.size() / 2, 0);
    size_t n = 0;
    if (oem_hex.size() % 2 || cfg.oem.size() > 512 ||
        OPENSSL_hexstr2buf_ex(cfg.oem.data(), cfg.oem.size(), &n, oem_hex.c_str(), '\0') != 1)
      throw std::invalid_argument("\"oem_hex\" must be hex of at most 512 bytes");
  }
  const long long feature = number_field(req, "feature", 0, 0xFFFF, -1);
  if (feature >= 0) cfg.feature = static_cast<uint16_t>(feature);


  if (sg_index >= 0) {
    // The transport the token will have: as asked, or a known token's own.
    transport_kind kind = cfg.transport;
    if (!has_transport && !serial.empty()) {
      if (token* known = bus_.find(serial)) {
        kind = known->transport();
      } else if (std::shared_ptr<stored_entry> e = entry(serial, false)) {
        std::lock_guard<std::mutex> lock(e->save_mu);
        kind = parse_transport(e->rec.transport);
      }
    }
    if (kind != transport_kind::scsi) throw std::invalid_argument("an sg node is for scsi tokens only");
  }

  token* plugged = nullptr;
  if (!serial.empty()) {
    if (token* known = bus_.find(serial)) {
      // Known to the bus since this service started.
      if (known->plugged()) throw std::invalid_argument("token " + serial + " is already plugged");
      if ((has_transport && cfg.transport != known->transport()) || (pid >= 0 && cfg.pid != known->pid()) ||
          (vid >= 0 && cfg.vid != known->vid()))
        throw std::invalid_argument("token " + serial + " exists with another transport or USB identity");
      plugged = &bus_.replug(serial, true);
    } else if (std::shared_ptr<stored_entry> e = entry(serial, false)) {
      // Stored under the directory by an earlier run.
      std::lock_guard<std::mutex> lock(e->save_mu);
      const stored_token& rec = e->rec;
      if ((has_transport && transport != rec.transport) || (pid >= 0 && cfg.pid != rec.pid) ||
          (vid >= 0 && cfg.vid != rec.vid))
        throw std::invalid_argument("token " + serial + " exists with another transport or USB identity");
      cfg.transport = parse_transport(rec.transport);
      cfg.vid = rec.vid;
      cfg.pid = rec.pid;
      if (bus_no < 0) {
        cfg.bus = rec.bus;
        cfg.address = rec.address;
      }
      cfg.state = rec.os_state.dump();
      std::string error;
      plugged = bus_.try_plug(cfg, &error);
      if (!plugged && bus_no < 0 && cfg.address >= 0) {
        log_("token " + serial + ": address " + std::to_string(cfg.address) + " is taken (" + error +
             "); plugging at a free one");
        cfg.address = -1;
        plugged = bus_.try_plug(cfg, &error);
      }
      if (!plugged) throw std::invalid_argument("cannot plug token " + serial + ": " + error);
    }
  }
  if (!plugged) {
    std::string error;
    plugged = bus_.try_plug(cfg, &error);
    if (!plugged) throw std::invalid_argument("cannot plug a " + transport + " token: " + error);
  }
  const std::string s = plugged->serial();
  if (sg_index >= 0 && plugged->sg_index() != sg_index) {
    // A known token plugged again goes to its first node, or the lowest
    // free one when that is taken: not what was asked.
    bus_.unplug(s);
    throw std::invalid_argument("sg node " + std::to_string(sg_index) + " is not available for token " + s);
  }
  bus_.with_lock([plugged] { install_label_command(plugged->os()); });
  std::string error;
  if (!save_identity(s, &error)) {
    bus_.unplug(s);
    throw std::runtime_error("cannot store token " + s + ": " + error);
  }
  std::string where = "bus " + std::to_string(plugged->bus()) + " address " + std::to_string(plugged->address());
  if (plugged->sg_index() >= 0) where += " (/dev/sg" + std::to_string(plugged->sg_index()) + ")";
  log_("token " + s + " plugged at " + where);
  return json{{"serial", s}, {"bus", plugged->bus()}, {"address", plugged->address()},
              {"sg_index", plugged->sg_index()}};
}

json token_service::cmd_unplug(const json& req) {
  std::lock_guard<std::mutex> plug_lock(plug_mu_);
  const std::string serial = text_field(req, "serial", true);
  token* t = bus_.find(serial);
  if (!t) {
    if (entry(serial, false)) throw std::invalid_argument("token " + serial + " is not plugged");
    throw std::invalid_argument("no token " + serial);
  }
  if (!t->plugged()) throw std::invalid_argument("token " + serial + " is not plugged");
  const uint64_t old_device = t->device_id();
  bus_.unplug(serial);
  device_gone(old_device);
  std::string error;
  if (!save_identity(serial, &error)) log_("token " + serial + ": saving failed: " + error);
  log_("token " + serial + " unplugged");
  return json::object();
}

json token_service::cmd_replug(const json& req) {
  std::lock_guard<std::mutex> plug_lock(plug_mu_);
  const std::string serial = text_field(req, "serial", true);
  const bool same = bool_field(req, "same_address");
  if (!bus_.find(serial)) {
    if (entry(serial, false))
      throw std::invalid_argument("token " + serial + " is stored but not plugged: use plug --serial");
    throw std::invalid_argument("no token " + serial);
  }
  const uint64_t old_device = bus_.find(serial)->device_id();
  token& t = bus_.replug(serial, same);
  device_gone(old_device);
  std::string error;
  if (!save_identity(serial, &error)) log_("token " + serial + ": saving failed: " + error);
  log_("token " + serial + " replugged at bus " + std::to_string(t.bus()) + " address " +
       std::to_string(t.address()));
  return json{{"serial", serial}, {"bus", t.bus()}, {"address", t.address()}};
}

json token_service::cmd_list() {
  json tokens = json::array();
  std::map<std::string, json> rows;
  for (token* t : bus_.tokens()) {
    rows[t->serial()] = json{{"serial", t->serial()},     {"transport", transport_name(t->transport())},
                             {"vid", t->vid()},           {"pid", t->pid()},
                             {"bus", t->plugged() ? t->bus() : -1},
                             {"address", t->plugged() ? t->address() : -1},
                             {"sg_index", t->sg_index()},
                             {"plugged", t->plugged()}};
  }
  std::vector<std::shared_ptr<stored_entry>> stored;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& e : entries_) stored.push_back(e.second);
  }
  for (auto& e : stored) {
    std::lock_guard<std::mutex> lock(e->save_mu);
    if (rows.count(e->rec.serial)) continue;
    rows[e->rec.serial] = json{{"serial", e->rec.serial}, {"transport", e->rec.transport}, {"vid", e->rec.vid},
                               {"pid", e->rec.pid},       {"bus", -1},                     {"address", -1},
                               {"sg_index", -1},          {"plugged", false}};
  }
  for (auto& r : rows) tokens.push_back(std::move(r.second));
  return json{{"tokens", tokens}};
}

json token_service::cmd_stats(const json& req) {
  const std::string serial = text_field(req, "serial", true);
  token* t = bus_.find(serial);
  if (!t && !entry(serial, false)) throw std::invalid_argument("no token " + serial);
  token_stats s = t ? t->stats() : token_stats{};
  if (t && bool_field(req, "reset")) t->reset_stats();
  return json{{"stats",
               {{"apdus", s.apdus},
                {"reports_out", s.reports_out},
                {"reports_in", s.reports_in},
                {"control_out", s.control_out},
                {"control_in", s.control_in},
                {"sg_commands", s.sg_commands},
                {"interleaved", s.interleaved}}}};
}

json token_service::cmd_log(const json& req) {
  const std::string serial = text_field(req, "serial", true);
  token* t = bus_.find(serial);
  if (!t && !entry(serial, false)) throw std::invalid_argument("no token " + serial);
  json entries = json::array();
  if (!t) return json{{"log", entries}};
  std::vector<transfer_entry> record = t->record();
  // Keeps the answer well inside the response bound.
  constexpr size_t max_entries = 20000;
  size_t first = record.size() > max_entries ? record.size() - max_entries : 0;
  for (size_t i = first; i < record.size(); ++i) {
    const transfer_entry& e = record[i];
    entries.push_back(json{{"time", e.time_ms},
                           {"client", e.client},
                           {"what", to_string(e.what)},
                           {"endpoint", e.endpoint},
                           {"request_type", e.request_type},
                           {"request", e.request},
                           {"value", e.value},
                           {"index", e.index},
                           {"timeout", e.timeout_ms},
                           {"result", e.result},
                           {"bytes", hex(e.bytes)},
                           {"data", hex(e.data)},
                           {"note", e.note}});
    if (e.what == transfer_entry::kind::sg_io) {
      entries.back()["sg_direction"] = e.sg_direction;
      entries.back()["dxfer_len"] = e.dxfer_len;
      entries.back()["resid"] = e.resid;
    }
  }
  return json{{"log", entries}, {"omitted", first}};
}

json token_service::cmd_fault(const json& req) {
  const std::string serial = text_field(req, "serial", true);
  const std::string kind = text_field(req, "kind", true);
  token* t = bus_.find(serial);
  if (!t) throw std::invalid_argument("no plugged token " + serial);
  if (kind == "clear") {
    t->clear_faults();
    return json::object();
  }
  const fault_name* found = nullptr;
  for (const fault_name& f : kFaults)
    if (kind == f.name) found = &f;
  if (!found) {
    std::string names;
    for (const fault_name& f : kFaults) names += std::string(names.empty() ? "" : ", ") + f.name;
    throw std::invalid_argument("unknown fault \"" + kind + "\" (" + names + ", clear)");
  }
  fault_spec f;
  f.kind = found->kind;
  f.count = static_cast<int>(number_field(req, "count", -1, 1000000, 1));
  if (f.count == 0) throw std::invalid_argument("\"count\" must not be 0");
  const bool has_param = req.contains("param");
  f.param = static_cast<uint32_t>(number_field(req, "param", 0, 0xFFFFFFFFll, 0));
  f.param2 = static_cast<uint32_t>(number_field(req, "param2", 0, 0xFFFFFFFFll, 0));
  if (f.kind == fault_kind::empty_reports) {
    if (!has_param || f.param < 1 || f.param > 1000)
      throw std::invalid_argument("empty-reports needs the number of reports (--n 1 to 1000)");
  } else if (f.kind == fault_kind::force_sw) {
    if (!has_param || !req.contains("param2") || f.param > 0xFF || f.param2 > 0xFFFF)
      throw std::invalid_argument("force-sw needs --ins (0 to 0xff) and --sw (0 to 0xffff)");
  } else if (f.kind == fault_kind::declared_length_long) {
    if (!has_param) f.param = 64;
    if (f.param < 1 || f.param > 0xFFFF) throw std::invalid_argument("declared-length-long: --param 1 to 65535");
  }
  t->arm_fault(f);
  log_("token " + serial + ": fault " + kind + " armed (count " + std::to_string(f.count) + ")");
  return json::object();
}

}  // namespace svc
}  // namespace vtok
