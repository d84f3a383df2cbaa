// Runs the real rx7100-vtoken program for a test: a private directory, the
// service as a child process (stopped, then killed, when the test ends) and
// the command line. Waiting for the service polls its socket in a bounded
// loop.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vtsvc {

struct cli_result {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

inline std::string read_all_fd(int fd) {
  std::string s;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    s.append(buf, static_cast<size_t>(n));
  }
  return s;
}

// Runs rx7100-vtoken with `args`; stdout and stderr are captured (through
// files, so a chatty program cannot block on a full pipe).
inline cli_result run_cli(const std::vector<std::string>& args) {
  cli_result r;
  char out_path[] = "/tmp/vtcli-out-XXXXXX";
  char err_path[] = "/tmp/vtcli-err-XXXXXX";
  int out_fd = ::mkstemp(out_path);
  int err_fd = ::mkstemp(err_path);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    std::vector<char*> argv;
    std::string bin = RX_VTOKEN_BIN;
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(bin.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  ::lseek(out_fd, 0, SEEK_SET);
  ::lseek(err_fd, 0, SEEK_SET);
  r.out = read_all_fd(out_fd);
  r.err = read_all_fd(err_fd);
  ::close(out_fd);
  ::close(err_fd);
  ::unlink(out_path);
  ::unlink(err_path);
  return r;
}

inline bool socket_accepts(const std::string& dir) {
  const std::string path = dir + "/vtoken.sock";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// A raw connection to the service socket, for protocol tests.
inline int connect_raw(const std::string& dir) {
  const std::string path = dir + "/vtoken.sock";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The service of one test, in its own temporary directory.
class service {
 public:
  service() {
    char tmpl[] = "/tmp/vtsvc-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    dir_ = root_ + "/d";  // created by the service itself
  }
  ~service() {
    kill_hard();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  service(const service&) = delete;
  service& operator=(const service&) = delete;

  const std::string& dir() const { return dir_; }

  // Starts `serve --dir DIR` in the foreground as a child; true once its
  // socket accepts connections.
  bool start() {
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string log = root_ + "/service.log";
      int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
      }
      ::execl(RX_VTOKEN_BIN, RX_VTOKEN_BIN, "serve", "--dir", dir_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 1000; ++i) {
      if (socket_accepts(dir_)) return true;
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // SIGKILL, as a crash would.
  void kill_hard() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // `stop` through the command line; true when the process then exits 0.
  bool stop() {
    if (pid_ <= 0) return false;
    cli_result r = run_cli({"stop", "--dir", dir_});
    int status = 0;
    for (int i = 0; i < 2000; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return r.status == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  pid_t pid() const { return pid_; }
  bool alive() {
    if (pid_ <= 0) return false;
    int status;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
  }
  std::string log() const {
    int fd = ::open((root_ + "/service.log").c_str(), O_RDONLY);
    if (fd < 0) return {};
    std::string s = read_all_fd(fd);
    ::close(fd);
    return s;
  }

  cli_result cli(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--dir", dir_});
    return run_cli(args);
  }
  // Plugs a token and returns its serial (fails the test otherwise).
  std::string plug(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"plug"};
    args.insert(args.end(), extra.begin(), extra.end());
    cli_result r = cli(args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string s = r.out;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }
  // "name=value" lines of `stats`, as a map.
  std::map<std::string, long long> stats(const std::string& serial) {
    std::map<std::string, long long> m;
    cli_result r = cli({"stats", serial});
    EXPECT_EQ(r.status, 0) << r.err;
    size_t pos = 0;
    while (pos < r.out.size()) {
      size_t nl = r.out.find('\n', pos);
      if (nl == std::string::npos) nl = r.out.size();
      std::string line = r.out.substr(pos, nl - pos);
      size_t eq = line.find('=');
      if (eq != std::string::npos) m[line.substr(0, eq)] = std::stoll(line.substr(eq + 1));
      pos = nl + 1;
    }
    return m;
  }

 private:
  std::string root_;
  std::string dir_;
  pid_t pid_ = -1;
};

}  // namespace vtsvc
