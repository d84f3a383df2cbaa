#include "transport/vk_mutex.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/os_mutex.h"

namespace {

const char k_global_prefix[] = "Global\\";

#ifndef NDEBUG
[[noreturn]] void die_nested(const char* name) {
  std::fprintf(stderr,
               "rx7100: nested acquisition of the non-recursive lock \"%s\" by the "
               "thread that already holds it (an exported function was called from "
               "inside another one); aborting\n",
               name && *name ? name : "(unnamed)");
  std::fflush(stderr);
  std::abort();
}
#endif

}  // namespace

void vk_make_lock_name(const char* name, char* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = '\0';
  if (!name) name = "";
  if (std::strstr(name, k_global_prefix) != nullptr) {
    std::snprintf(out, size, "%s", name);
  } else {
    std::snprintf(out, size, "%s%s", k_global_prefix, name);
  }
}

vk_mutex::~vk_mutex() {
  if (file_lock_) mutex_destroy(file_lock_);
  file_lock_ = nullptr;
}

bool vk_mutex::held_by_current_thread() const {
  return owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

bool vk_mutex::file_locked() const { return file_locked_; }

bool vk_mutex::lock(const char* name, int timeout) {
  if (held_by_current_thread()) {
#ifndef NDEBUG
    die_nested(name_[0] ? name_ : name);
#else
    return false;
#endif
  }
  thread_mutex_.lock();
  owner_.store(std::this_thread::get_id(), std::memory_order_release);
  file_locked_ = false;

  if (!file_lock_) file_lock_ = mutex_create();
  if (file_lock_ && !mutex_is_initialised(file_lock_)) {
    vk_make_lock_name(name, name_, sizeof name_);
    mutex_init(file_lock_, name_);
  }
  // Without a lock file the thread mutex alone protects the call.
  if (file_lock_ && mutex_is_initialised(file_lock_))
    file_locked_ = mutex_lock(file_lock_, timeout) == 0;
  return true;
}

void vk_mutex::unlock() {
  if (file_lock_ && mutex_is_initialised(file_lock_)) {
    if (file_locked_) mutex_unlock(file_lock_);
    // Reopened at the next acquisition: no descriptor outlives the call, so
    // a child forked between two calls never shares the parent's lock.
    mutex_close(file_lock_);
  }
  file_locked_ = false;
  owner_.store(std::thread::id(), std::memory_order_release);
  thread_mutex_.unlock();
}

vk_auto_mutex::vk_auto_mutex(vk_mutex* m, const char* name, int timeout) : m_(m) {
  if (m_) owned_ = m_->lock(name, timeout);
}

vk_auto_mutex::~vk_auto_mutex() {
  if (m_ && owned_) m_->unlock();
}
