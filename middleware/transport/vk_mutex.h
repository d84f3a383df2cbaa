// The named lock that serialises token access across the threads of a
// process (a plain, non-recursive thread mutex) and across processes (an
// exclusive flock on a lock file named after the lock, see os_mutex.h).
//
// The lock is not recursive. A thread that already holds it and asks for it
// again is a programming error: a debug build (NDEBUG not defined) aborts
// with a message naming the lock; a release build refuses the nested
// acquisition (vk_auto_mutex::owns() is false) instead of deadlocking.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

struct os_file_lock;

class vk_mutex {
 public:
  vk_mutex() = default;
  ~vk_mutex();
  vk_mutex(const vk_mutex&) = delete;
  vk_mutex& operator=(const vk_mutex&) = delete;

  // Takes the thread mutex, then the file lock of `name` (prefixed with
  // "Global\" unless it already contains it). When the lock file cannot be
  // opened the thread mutex alone protects the caller. Returns false only on
  // a nested acquisition by the calling thread (release builds).
  bool lock(const char* name, int timeout = -1);
  // Releases the file lock (closing the lock file) and the thread mutex.
  // Must be called by the thread that holds the lock.
  void unlock();

  // Whether the calling thread holds this lock.
  bool held_by_current_thread() const;
  // Whether the current holder also holds the file lock (false while
  // unlocked or when the lock file could not be opened).
  bool file_locked() const;
  // The full lock name of the last acquisition ("Global\..."), for tests.
  const char* name() const { return name_; }

 private:
  std::mutex thread_mutex_;
  std::atomic<std::thread::id> owner_{};
  os_file_lock* file_lock_ = nullptr;
  bool file_locked_ = false;
  char name_[256] = {};
};

class vk_auto_mutex {
 public:
  vk_auto_mutex(vk_mutex* m, const char* name, int timeout = -1);
  ~vk_auto_mutex();
  vk_auto_mutex(const vk_auto_mutex&) = delete;
  vk_auto_mutex& operator=(const vk_auto_mutex&) = delete;

  // False when the acquisition was refused (nested acquisition, release
  // builds) or no lock object was given; the guarded code must not run.
  bool owns() const { return owned_; }

 private:
  vk_mutex* m_;
  bool owned_ = false;
};

// Forms the full lock name: `name` unchanged when it already contains
// "Global\", otherwise "Global\" followed by it; bounded to `size` bytes
// including the terminator (the result is always terminated).
void vk_make_lock_name(const char* name, char* out, size_t size);
