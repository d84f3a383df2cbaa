// The request handler of the service: the bus operations of each client,
// the control commands of the command line, and the durable storage of
// every token's state under the service directory.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "clock.h"
#include "service/service_clock.h"
#include "service/server.h"
#include "service/token_store.h"
#include "service/wire.h"
#include "virtual_bus.h"

namespace vtok {
namespace svc {

class token_service : public request_handler {
 public:
  token_service(const std::string& dir, log_fn log);
  ~token_service() override;

  // Loads the stored tokens and plugs those that were plugged when the
  // service last ran. Problems with single files are logged, not fatal.
  void load();
  // Called for the "stop" command.
  void set_stop_callback(std::function<void()> cb) { on_stop_ = std::move(cb); }

  bool handle(int client, const std::vector<uint8_t>& request, std::vector<uint8_t>* response,
              std::string* reason) override;
  void client_gone(int client) override;

  virtual_bus& bus() { return bus_; }
  // Ends every transfer wait (the service is stopping).
  void stop_waits() { clock_.stop(); }

 private:
  struct stored_entry {
    std::mutex save_mu;  // orders the saves of this token
    stored_token rec;    // guarded by save_mu
  };
  struct handle_info {
    std::string serial;
    uint64_t device = 0;
  };
  struct client_state {
    std::map<uint32_t, handle_info> handles;  // bus handle -> its token
    std::map<int32_t, std::string> sg_fds;  // sg descriptor -> its token's serial ("": a disk)
  };

  // USB and SCSI generic requests (usb_requests.cpp).
  bool handle_usb(int client, uint8_t op, reader& in, writer& out, std::string* reason);
  bool handle_sg(int client, uint8_t op, reader& in, writer& out, std::string* reason);
  // Control requests (control_requests.cpp).
  nlohmann::json control(const nlohmann::json& req);
  nlohmann::json cmd_plug(const nlohmann::json& req);
  nlohmann::json cmd_unplug(const nlohmann::json& req);
  nlohmann::json cmd_replug(const nlohmann::json& req);
  nlohmann::json cmd_list();
  nlohmann::json cmd_stats(const nlohmann::json& req);
  nlohmann::json cmd_log(const nlohmann::json& req);
  nlohmann::json cmd_fault(const nlohmann::json& req);

  // Saves the token's state when a command changed it. Runs after every
  // transfer, before the client gets its answer, so an answered command is
  // on disk.
  void persist_if_changed(const std::string& serial);
  // Writes the token's identity and plug state, and its current card state.
  bool save_identity(const std::string& serial, std::string* error);
  std::shared_ptr<stored_entry> entry(const std::string& serial, bool create);
  handle_info handle_of(int client, uint32_t handle);
  // Marks the device instance of a token gone (ends waits of transfers to it).
  void device_gone(uint64_t device);

  std::string dir_;
  log_fn log_;
  service_clock clock_;
  virtual_bus bus_;
  token_store store_;
  std::function<void()> on_stop_;

  std::mutex mu_;  // guards entries_, clients_
  std::map<std::string, std::shared_ptr<stored_entry>> entries_;
  std::map<int, client_state> clients_;
  // Serialises plug, unplug and replug with the saves they make.
  std::mutex plug_mu_;
};

}  // namespace svc
}  // namespace vtok
