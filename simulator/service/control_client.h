// The command line's side of the service socket: connects, introduces
// itself and sends control requests (JSON) to a running service.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace vtok {
namespace svc {

std::string socket_path(const std::string& dir);

class control_client {
 public:
  control_client() = default;
  ~control_client();
  control_client(const control_client&) = delete;
  control_client& operator=(const control_client&) = delete;

  // false and a message when the service cannot be reached.
  bool connect(const std::string& dir, std::string* error);
  // Sends {"cmd": ..., ...}; true with the answer when the service accepted
  // it, false with the service's or the connection's message otherwise.
  bool request(const nlohmann::json& req, nlohmann::json* answer, std::string* error);

 private:
  int fd_ = -1;
};

}  // namespace svc
}  // namespace vtok
