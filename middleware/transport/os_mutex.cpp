#include "transport/os_mutex.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

struct os_file_lock {
  int fd = -1;
  int initialised = 0;
};

namespace rx {
namespace os {

namespace {

const char k_default_lock_dir[] = "/var/tmp/";

std::mutex& dir_mutex() {
  static std::mutex m;
  return m;
}

std::string& dir_override() {
  static std::string d;
  return d;
}

std::string with_slash(std::string d) {
  if (d.empty() || d.back() != '/') d.push_back('/');
  return d;
}

}  // namespace

void set_lock_dir(const char* dir) {
  std::lock_guard<std::mutex> g(dir_mutex());
  dir_override() = (dir && *dir) ? with_slash(dir) : std::string();
}

std::string lock_dir() {
  {
    std::lock_guard<std::mutex> g(dir_mutex());
    if (!dir_override().empty()) return dir_override();
  }
  const char* env = std::getenv("RX7100_LOCK_DIR");
  if (env && *env) return with_slash(env);
  return k_default_lock_dir;
}

bool lock_path(const char* name, std::string* path) {
  if (!name || !*name || !path) return false;
  const size_t n = strnlen(name, k_lock_path_max);
  if (n >= k_lock_path_max) return false;
  // A name must stay a single file inside the lock directory.
  if (std::memchr(name, '/', n) != nullptr) return false;
  std::string p = lock_dir();
  p.append(name, n);
  if (p.size() >= k_lock_path_max) return false;
  *path = std::move(p);
  return true;
}

}  // namespace os
}  // namespace rx

namespace {

int open_retry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens the lock file. A file we create is made lockable by every user
// (0666 regardless of the umask). An existing file we may not write is
// opened read-only: flock does not need write access. Symbolic links are
// refused so that a planted link cannot redirect the open (or the chmod).
int open_lock_file(const char* path) {
  const int common = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  int fd = open_retry(path, O_RDWR | O_CREAT | O_EXCL | common, 0666);
  if (fd >= 0) {
    (void)::fchmod(fd, 0666);
  } else {
    fd = open_retry(path, O_RDWR | common);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
      fd = open_retry(path, O_RDONLY | common);
  }
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

os_file_lock* mutex_create() { return new (std::nothrow) os_file_lock(); }

int mutex_init(os_file_lock* m, const char* name) {
  if (!m) return 1;
  if (m->initialised) return 0;
  std::string path;
  if (!rx::os::lock_path(name, &path)) return 1;
  const int fd = open_lock_file(path.c_str());
  if (fd < 0) return 1;
  m->fd = fd;
  m->initialised = 1;
  return 0;
}

int mutex_lock(os_file_lock* m, int /*timeout*/) {
  if (!m || !m->initialised || m->fd < 0) return 1;
  int rc;
  do {
    rc = ::flock(m->fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : 1;
}

int mutex_unlock(os_file_lock* m) {
  if (!m || !m->initialised || m->fd < 0) return 1;
  return ::flock(m->fd, LOCK_UN) == 0 ? 0 : 1;
}

int mutex_destroy(os_file_lock* m) {
  if (!m) return 0;
  if (m->fd >= 0) ::close(m->fd);
  delete m;
  return 0;
}

int mutex_open(os_file_lock* /*m*/, const char* /*name*/) { return 0; }

bool mutex_is_initialised(const os_file_lock* m) { return m && m->initialised; }

void mutex_close(os_file_lock* m) {
  if (!m) return;
  if (m->fd >= 0) ::close(m->fd);  // closing also drops the flock
  m->fd = -1;
  m->initialised = 0;
}
