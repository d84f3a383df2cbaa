#include "transport/device_base.h"

#include <atomic>
#include <cstdio>
#include <cstring>

int device_locker::init(const char*, void*) { return 1; }
int device_locker::lock(long) { return 1; }
int device_locker::unlock() { return 1; }
int device_locker::uninit() { return 1; }

device_mutex_locker::device_mutex_locker() { std::memset(name_, 0, sizeof(name_)); }

int device_mutex_locker::init(const char* name, void*) {
  // Composed and dropped: the platform's lockers keep nothing.
  char composed[64 + 8];
  std::snprintf(composed, sizeof(composed), "Global\\%.64s", name ? name : "");
  (void)composed;
  return 0;
}
int device_mutex_locker::lock(long) { return 0; }
int device_mutex_locker::unlock() { return 0; }
int device_mutex_locker::uninit() { return 0; }

namespace {
std::atomic<uintptr_t> g_next_handle_id{0x10000};
}

device_base::device_base() : handle_id_(g_next_handle_id.fetch_add(1, std::memory_order_relaxed)) {}

device_base::~device_base() {
  dev_locker_.uninit();
  trans_locker_.uninit();
}

int device_base::open() { return -1; }
int device_base::close() { return -1; }
int device_base::set_parameter(int, unsigned char*, int) { return -1; }
int device_base::send_data(const unsigned char*, int) { return -1; }
int device_base::receive_data(unsigned char*, int*) { return -1; }
int device_base::send_raw_data(const unsigned char*, int, const unsigned char*, long) { return -1; }
int device_base::receive_raw_data(const unsigned char*, int, unsigned char*, long*) { return -1; }
int device_base::device_io(const unsigned char*, int, unsigned char*, int*) { return -1; }
int device_base::set_comm_timeout(int) { return -1; }
const char* device_base::get_dev_path() { return nullptr; }
const char* device_base::get_dev_name() { return nullptr; }
void device_base::set_dev_name(const char*) {}
void device_base::set_dev_state(enmDevState) {}
enmDevState device_base::get_dev_state() { return DEV_STATE_INITIAL; }
int device_base::get_device_type() { return 0; }
int device_base::dev_present() { return 0; }
void* device_base::get_dev_os_handle() { return nullptr; }

int device_base::lock_with(device_mutex_locker& locker, long timeout, const char* name) {
  if (!name) name = "";
  if (std::strstr(locker.name(), name) == nullptr) locker.uninit();
  if (locker.init(name, nullptr) != 0) return 1;
  return locker.lock(timeout);
}

int device_base::lock(long timeout) { return lock(timeout, get_dev_name()); }

int device_base::lock(long timeout, const char* name) {
  if (!name) name = "";
  if (std::strstr(dev_locker_.name(), name) == nullptr) dev_locker_.uninit();
  if (dev_locker_.init(name, nullptr) != 0) return 1;
  dev_locker_.lock(timeout);
  return 0;
}

int device_base::unlock() {
  dev_locker_.unlock();
  return 0;
}

int device_base::begin_transaction(long timeout) {
  char name[256];
  const char* dev_name = get_dev_name();
  std::snprintf(name, sizeof(name), "%s_trans", dev_name ? dev_name : "");
  return lock_with(trans_locker_, timeout, name);
}

int device_base::end_transaction() {
  trans_locker_.unlock();
  return 0;
}

int device_base::get_hs_apdu_size(int* size) {
  if (size) *size = 0;
  return 0;
}
int device_base::enable_high_speed(int) { return 0; }
int device_base::crypt_with_high_speed(unsigned long, int, int, int, int, int, unsigned char*, int,
                                       unsigned char*, int, unsigned char*, int*) {
  return 0;
}
