// The socket side of the service: accepts connections on a Unix socket,
// gives each a client id and a thread, checks the framing of every message,
// and passes well-framed requests to a request handler. A connection that
// breaks the protocol is closed with one log line; the others go on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vtok {
namespace svc {

class request_handler {
 public:
  virtual ~request_handler() = default;
  // Answers one request of `client`. Returns false (with a reason) when the
  // request is malformed; the connection is then closed without an answer.
  virtual bool handle(int client, const std::vector<uint8_t>& request, std::vector<uint8_t>* response,
                      std::string* reason) = 0;
  // The connection of `client` ended: release all it held.
  virtual void client_gone(int client) = 0;
};

using log_fn = std::function<void(const std::string&)>;

class server {
 public:
  server(request_handler& handler, log_fn log);
  ~server();
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  // Binds and listens on `path` (replacing a stale socket file).
  bool listen(const std::string& path, std::string* error);
  // Accepts connections until stop(); then closes every connection and
  // waits for their threads.
  void run();
  // Safe from any thread, including a connection's own and a signal-driven
  // watcher.
  void stop();
  bool stopping() const { return stopping_.load(); }
  // For a request handler: stop once the answer to the request being
  // handled on this thread has been sent.
  static void stop_after_reply();

 private:
  void serve_connection(int fd, int client);

  request_handler& handler_;
  log_fn log_;
  std::string path_;
  int listen_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> next_client_{1};
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<int, int> connections_;  // client id -> fd
};

}  // namespace svc
}  // namespace vtok
