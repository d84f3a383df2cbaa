#include "service/control_client.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "service/wire.h"

namespace vtok {
namespace svc {

std::string socket_path(const std::string& dir) { return dir + "/vtoken.sock"; }

control_client::~control_client() {
  if (fd_ >= 0) ::close(fd_);
}

bool control_client::connect(const std::string& dir, std::string* error) {
  const std::string path = socket_path(dir);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *error = "socket path too long: " + path;
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "no service at " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  writer hello;
  hello.u8(op_hello).u32(protocol_magic).u16(protocol_version);
  std::vector<uint8_t> resp;
  int32_t result = -1;
  uint32_t id = 0;
  if (!write_message(fd, hello.body()) ||
      read_message(fd, 4, max_response_body, &resp) != read_status::ok) {
    *error = "the service at " + path + " did not answer";
    ::close(fd);
    return false;
  }
  reader in(resp);
  if (!in.i32(&result) || !in.u32(&id) || !in.done() || result != 0) {
    *error = "the service at " + path + " refused the connection";
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool control_client::request(const nlohmann::json& req, nlohmann::json* answer, std::string* error) {
  if (fd_ < 0) {
    *error = "not connected";
    return false;
  }
  const std::string text = req.dump();
  writer w;
  w.u8(op_control).raw(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  std::vector<uint8_t> resp;
  if (!write_message(fd_, w.body())) {
    *error = "connection to the service lost";
    return false;
  }
  read_status st = read_message(fd_, 4, max_response_body, &resp);
  if (st != read_status::ok) {
    *error = std::string("connection to the service lost: ") + describe(st);
    return false;
  }
  reader in(resp);
  int32_t result;
  std::vector<uint8_t> body;
  if (!in.i32(&result) || !in.rest(&body, max_response_body)) {
    *error = "malformed answer from the service";
    return false;
  }
  nlohmann::json j = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *error = "malformed answer from the service";
    return false;
  }
  if (result != 0) {
    *error = j.contains("error") && j["error"].is_string() ? j["error"].get<std::string>()
                                                            : std::string("request failed");
    return false;
  }
  *answer = std::move(j);
  return true;
}

}  // namespace svc
}  // namespace vtok
