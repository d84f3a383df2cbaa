// Named file locks: an exclusive flock on a file under the lock directory.
//
// The plain function interface keeps one heap record per lock. A record is
// "initialised" while it holds an open descriptor of its lock file. The lock
// directory is "/var/tmp/" unless overridden: rx::os::set_lock_dir() (tests)
// takes precedence over the RX7100_LOCK_DIR environment variable, which takes
// precedence over the default.
//
// Lock files are never deleted: another process may hold or be about to open
// the same file, and unlinking it would let two processes lock two different
// files of the same name.
#pragma once

#include <string>

struct os_file_lock;

// A new, zeroed (not initialised) lock record; nullptr when out of memory.
os_file_lock* mutex_create();
// Opens (creating when missing, mode 0666 for every user) the lock file
// "<lock dir><name>". 0 on success or when already initialised; 1 when the
// name is unusable or the file cannot be opened even read-only.
int mutex_init(os_file_lock* m, const char* name);
// Exclusive flock, waiting as long as needed (the timeout is not used).
// 0 on success, 1 when the record is not initialised or flock fails.
int mutex_lock(os_file_lock* m, int timeout);
// flock unlock: 0 on success, 1 on failure.
int mutex_unlock(os_file_lock* m);
// Closes the descriptor and frees the record (never deletes the file); 0.
int mutex_destroy(os_file_lock* m);
// Kept for callers of the plain interface; does nothing. 0.
int mutex_open(os_file_lock* m, const char* name);

// Whether the record currently holds an open lock file.
bool mutex_is_initialised(const os_file_lock* m);
// Closes the lock file of an initialised record (after unlocking it) and
// marks it not initialised, so that the next mutex_init opens it again.
void mutex_close(os_file_lock* m);

namespace rx {
namespace os {

// Longest lock file path, terminator included.
constexpr size_t k_lock_path_max = 256;

// Overrides the lock directory for this process (nullptr or "" restores the
// environment / default choice). Meant for tests.
void set_lock_dir(const char* dir);
// The lock directory in use, always ending in '/'.
std::string lock_dir();
// Composes the lock file path for a name; false when the name is empty,
// contains '/', or the path would not fit k_lock_path_max.
bool lock_path(const char* name, std::string* path);

}  // namespace os
}  // namespace rx
