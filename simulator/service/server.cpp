#include "service/server.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include <openssl/crypto.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "service/wire.h"

namespace vtok {
namespace svc {

namespace {
thread_local bool t_stop_after_reply = false;
}

void server::stop_after_reply() { t_stop_after_reply = true; }

server::server(request_handler& handler, log_fn log) : handler_(handler), log_(std::move(log)) {}

server::~server() {
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool server::listen(const std::string& path, std::string* error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    *error = "socket path too long (" + std::to_string(path.size()) + " bytes): " + path;
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // The caller holds the directory's lock, so a socket file left there is
  // a dead service's.
  ::unlink(path.c_str());
  mode_t old = ::umask(077);
  int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::umask(old);
  if (rc != 0 || ::listen(fd, 64) != 0) {
    *error = "listen on " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  listen_fd_ = fd;
  path_ = path;
  return true;
}

void server::run() {
  while (!stopping_.load()) {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (stopping_.load()) break;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        log_(std::string("accept: ") + std::strerror(errno) + "; retrying");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      log_(std::string("accept: ") + std::strerror(errno));
      break;
    }
    int client = next_client_.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_.load()) {
        ::close(fd);
        break;
      }
      if (connections_.size() >= max_connections) {
        log_("client " + std::to_string(client) + ": refused, " + std::to_string(max_connections) +
             " connections already open");
        ::close(fd);
        continue;
      }
      connections_[client] = fd;
    }
    std::thread([this, fd, client] { serve_connection(fd, client); }).detach();
  }
  stopping_.store(true);
  if (!path_.empty()) ::unlink(path_.c_str());
  std::unique_lock<std::mutex> lock(mu_);
  for (auto& c : connections_) ::shutdown(c.second, SHUT_RDWR);
  cv_.wait(lock, [this] { return connections_.empty(); });
}

void server::stop() {
  if (stopping_.exchange(true)) return;
  // Wakes the accept() in run().
  if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
}

void server::serve_connection(int fd, int client) {
  std::vector<uint8_t> req, resp;
  bool greeted = false;
  std::string why;
  for (;;) {
    read_status st = read_message(fd, 1, max_request_body, &req);
    if (st != read_status::ok) {
      if (st != read_status::closed && !stopping_.load())
        why = describe(st);
      break;
    }
    if (!greeted) {
      reader in(req);
      uint8_t op = 0;
      uint32_t magic = 0;
      uint16_t version = 0;
      if (!in.u8(&op) || op != op_hello || !in.u32(&magic) || !in.u16(&version) || !in.done() ||
          magic != protocol_magic) {
        why = "first request is not a valid HELLO";
        break;
      }
      writer w;
      if (version != protocol_version) {
        w.i32(-12).u32(0);
        write_message(fd, w.body());
        why = "unsupported protocol version " + std::to_string(version);
        break;
      }
      w.i32(0).u32(static_cast<uint32_t>(client));
      if (!write_message(fd, w.body())) break;
      greeted = true;
      continue;
    }
    resp.clear();
    std::string reason;
    bool ok = false;
    try {
      ok = handler_.handle(client, req, &resp, &reason);
    } catch (const std::exception& e) {
      reason = std::string("internal error: ") + e.what();
    }
    if (!ok) {
      why = reason.empty() ? "malformed request" : reason;
      break;
    }
    if (resp.size() > max_response_body) {
      why = "response above the bound";
      break;
    }
    const bool ok_sent = write_message(fd, resp);
    if (t_stop_after_reply) {
      t_stop_after_reply = false;
      stop();
    }
    if (!ok_sent || stopping_.load()) break;
  }
  if (!why.empty())
    log_("client " + std::to_string(client) + ": closing connection: " + why);
  try {
    handler_.client_gone(client);
  } catch (const std::exception& e) {
    log_("client " + std::to_string(client) + ": release failed: " + e.what());
  }
  // Free this thread's OpenSSL state (its random generators) now: once the
  // connection is off the list the service may exit before the thread's own
  // exit handlers would run.
  OPENSSL_thread_stop();
  std::lock_guard<std::mutex> lock(mu_);
  connections_.erase(client);
  ::close(fd);
  cv_.notify_all();
}

}  // namespace svc
}  // namespace vtok
