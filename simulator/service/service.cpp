#include "service/service.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include "service/control_client.h"
#include "service/server.h"
#include "service/token_service.h"

namespace vtok {
namespace svc {

namespace {

std::mutex g_log_mu;

void log_line(const std::string& msg) {
  std::lock_guard<std::mutex> lock(g_log_mu);
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm {};
  ::localtime_r(&ts.tv_sec, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  std::fprintf(stderr, "%s.%03ld rx7100-vtoken[%d]: %s\n", when, ts.tv_nsec / 1000000L,
               static_cast<int>(::getpid()), msg.c_str());
  std::fflush(stderr);
}

// Creates the directory owner-only, or checks that an existing one is a
// real directory of ours and tightens it to 0700.
bool prepare_dir(const std::string& dir, std::string* error) {
  if (dir.empty()) {
    *error = "--dir is empty";
    return false;
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = dir + " is not a directory";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    *error = dir + " belongs to another user";
    return false;
  }
  if ((st.st_mode & 0777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) {
    *error = "cannot restrict " + dir + " to its owner: " + std::strerror(errno);
    return false;
  }
  return true;
}

// One service per directory: an exclusive lock on DIR/vtoken.lock, held for
// the life of the process (the kernel drops it when the process dies).
int lock_dir(const std::string& dir, std::string* error) {
  const std::string path = dir + "/vtoken.lock";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "a service is already running for " + dir
                                  : "cannot lock " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

// Runs the service in this process. `ready_fd`, when >= 0, receives one
// byte once the socket listens, or an error text before the process exits.
int run(const service_options& opt, int ready_fd) {
  auto report = [&](const std::string& msg) {
    log_line(msg);
    if (ready_fd >= 0) {
      ssize_t ignored = ::write(ready_fd, msg.data(), msg.size());
      (void)ignored;
      ::close(ready_fd);
    }
    return 1;
  };
  std::string error;
  if (!prepare_dir(opt.dir, &error)) return report(error);
  int lock_fd = lock_dir(opt.dir, &error);
  if (lock_fd < 0) return report(error);

  // Signals are taken by one watcher thread; every other thread blocks them.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  token_service svc(opt.dir, log_line);
  server srv(svc, log_line);
  svc.set_stop_callback([&svc] {
    svc.stop_waits();
    server::stop_after_reply();
  });
  svc.load();
  if (!srv.listen(socket_path(opt.dir), &error)) {
    ::close(lock_fd);
    return report(error);
  }
  log_line("serving " + socket_path(opt.dir));

  std::thread watcher([&srv, &svc, sigs] {
    int sig = 0;
    sigwait(&sigs, &sig);
    if (!srv.stopping()) log_line(std::string("signal ") + strsignal(sig) + ": stopping");
    svc.stop_waits();
    srv.stop();
  });
  if (ready_fd >= 0) {
    char ok = 'R';
    ssize_t ignored = ::write(ready_fd, &ok, 1);
    (void)ignored;
    ::close(ready_fd);
  }
  srv.run();
  // Wakes the watcher if the stop came from a client.
  pthread_kill(watcher.native_handle(), SIGTERM);
  watcher.join();
  log_line("stopped");
  ::close(lock_fd);
  return 0;
}

}  // namespace

int serve(const service_options& opt) {
  if (!opt.background) return run(opt, -1);

  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "rx7100-vtoken: pipe: %s\n", std::strerror(errno));
    return 1;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    std::fprintf(stderr, "rx7100-vtoken: fork: %s\n", std::strerror(errno));
    return 1;
  }
  if (pid == 0) {
    ::close(pipefd[0]);
    ::setsid();
    // A second fork so that the service is not a session leader and is
    // re-parented away from the caller.
    pid_t again = ::fork();
    if (again < 0) _exit(1);
    if (again > 0) _exit(0);
    int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
      ::dup2(null_fd, STDIN_FILENO);
      ::dup2(null_fd, STDOUT_FILENO);
    }
    // The directory may not exist yet; create it before the log file.
    std::string error;
    if (!prepare_dir(opt.dir, &error)) {
      ssize_t ignored = ::write(pipefd[1], error.data(), error.size());
      (void)ignored;
      _exit(1);
    }
    const std::string log_path = opt.log_file.empty() ? opt.dir + "/vtoken.log" : opt.log_file;
    int log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log_fd >= 0) ::dup2(log_fd, STDERR_FILENO);
    else if (null_fd >= 0) ::dup2(null_fd, STDERR_FILENO);
    _exit(run(opt, pipefd[1]));
  }
  ::close(pipefd[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::string msg;
  char buf[512];
  for (;;) {
    ssize_t n = ::read(pipefd[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    msg.append(buf, static_cast<size_t>(n));
  }
  ::close(pipefd[0]);
  if (msg == "R") return 0;
  std::fprintf(stderr, "rx7100-vtoken: the service did not start: %s\n",
               msg.empty() ? "it exited early" : msg.c_str());
  return 1;
}

}  // namespace svc
}  // namespace vtok
