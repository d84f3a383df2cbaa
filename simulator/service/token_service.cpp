#include "service/token_service.h"

#include <cstdio>

namespace vtok {
namespace svc {

token_service::token_service(const std::string& dir, log_fn log)
    : dir_(dir), log_(std::move(log)), bus_(clock_), store_(dir) {}

token_service::~token_service() = default;

std::shared_ptr<token_service::stored_entry> token_service::entry(const std::string& serial, bool create) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(serial);
  if (it != entries_.end()) return it->second;
  if (!create) return nullptr;
  auto e = std::make_shared<stored_entry>();
  e->rec.serial = serial;
  entries_[serial] = e;
  return e;
}

token_service::handle_info token_service::handle_of(int client, uint32_t handle) {
  std::lock_guard<std::mutex> lock(mu_);
  auto c = clients_.find(client);
  if (c == clients_.end()) return {};
  auto h = c->second.handles.find(handle);
  return h == c->second.handles.end() ? handle_info{} : h->second;
}

void token_service::device_gone(uint64_t device) {
  if (device) clock_.device_gone(device);
}

void token_service::persist_if_changed(const std::string& serial) {
  if (serial.empty()) return;
  std::shared_ptr<stored_entry> e = entry(serial, false);
  token* t = bus_.find(serial);
  if (!e || !t) return;
  // Holding save_mu while checking the flag also makes a command whose
  // change another thread is writing wait until that write is done.
  std::lock_guard<std::mutex> lock(e->save_mu);
  if (!t->take_state_changed()) return;
  e->rec.os_state = t->save_state();
  std::string error;
  if (!store_.save(e->rec, &error)) log_("token " + serial + ": saving its state failed: " + error);
}

bool token_service::save_identity(const std::string& serial, std::string* error) {
  std::shared_ptr<stored_entry> e = entry(serial, true);
  std::lock_guard<std::mutex> lock(e->save_mu);
  if (token* t = bus_.find(serial)) {
    t->take_state_changed();
    e->rec.serial = serial;
    e->rec.transport = t->transport() == transport_kind::hid      ? "hid"
                       : t->transport() == transport_kind::hidctr ? "hidctr"
                                                                  : "scsi";
    e->rec.vid = t->vid();
    e->rec.pid = t->pid();
    e->rec.plugged = t->plugged();
    if (t->plugged()) {
      e->rec.bus = t->bus();
      e->rec.address = t->address();
    }
    e->rec.os_state = t->save_state();
  }
  return store_.save(e->rec, error);
}

bool token_service::handle(int client, const std::vector<uint8_t>& request, std::vector<uint8_t>* response,
                           std::string* reason) {
  reader in(request);
  uint8_t op = 0;
  if (!in.u8(&op)) {
    *reason = "empty request";
    return false;
  }
  writer out;
  bool ok;
  switch (op) {
    case op_hello:
      *reason = "HELLO after the connection was set up";
      return false;
    case op_device_list:
    case op_config_descriptor:
    case op_open:
    case op_close:
    case op_kernel_driver_active:
    case op_detach_kernel_driver:
    case op_claim_interface:
    case op_release_interface:
    case op_reset_device:
    case op_interrupt_transfer:
    case op_control_transfer:
    case op_device_count:
      ok = handle_usb(client, op, in, out, reason);
      break;
    case op_sg_node_exists:
    case op_sg_open:
    case op_sg_io:
    case op_sg_close:
      ok = handle_sg(client, op, in, out, reason);
      break;
    case op_control: {
      std::vector<uint8_t> text;
      if (!in.rest(&text, max_control_text)) {
        *reason = "control text above the bound";
        return false;
      }
      nlohmann::json req = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
      if (req.is_discarded() || !req.is_object() || !req.contains("cmd") || !req["cmd"].is_string()) {
        *reason = "control request is not a JSON object with a \"cmd\"";
        return false;
      }
      nlohmann::json answer;
      int32_t result = 0;
      try {
        answer = control(req);
      } catch (const std::exception& e) {
        result = -1;
        answer = nlohmann::json{{"error", e.what()}};
      }
      const std::string body = answer.dump();
      out.i32(result).raw(reinterpret_cast<const uint8_t*>(body.data()), body.size());
      ok = true;
      break;
    }
    default: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "unknown opcode 0x%02x", op);
      *reason = buf;
      return false;
    }
  }
  if (ok) *response = std::move(out.body());
  return ok;
}

void token_service::client_gone(int client) {
  bus_.close_client(client);
  std::lock_guard<std::mutex> lock(mu_);
  clients_.erase(client);
}

void token_service::load() {
  std::vector<std::string> problems;
  std::vector<stored_token> stored = store_.load_all(&problems);
  for (const std::string& p : problems) log_("stored token skipped: " + p);
  for (stored_token& rec : stored) {
    const bool was_plugged = rec.plugged;
    const std::string serial = rec.serial;
    rec.plugged = false;
    {
      std::shared_ptr<stored_entry> e = entry(serial, true);
      std::lock_guard<std::mutex> lock(e->save_mu);
      e->rec = std::move(rec);
    }
    if (!was_plugged) {
      log_("token " + serial + " loaded (unplugged)");
      continue;
    }
    try {
      cmd_plug(nlohmann::json{{"cmd", "plug"}, {"serial", serial}});
      log_("token " + serial + " loaded and plugged again");
    } catch (const std::exception& ex) {
      log_("token " + serial + " loaded but could not be plugged: " + ex.what());
    }
  }
}

}  // namespace svc
}  // namespace vtok
