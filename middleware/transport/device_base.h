// The abstract device, its lockers and the device states.
#pragma once

#include <cstdint>

// Device state, a plain integer enumeration stored in every device object.
enum enmDevState {
  DEV_STATE_PRESENT = 0,  // found again by the latest discovery pass
  DEV_STATE_ARRIVED = 1,  // created by the latest discovery pass
  DEV_STATE_REMOVED = 2,  // missing from the latest pass; closed, waits to be destroyed
  DEV_STATE_INITIAL = 3,  // freshly constructed (also "any state" as a filter)
};

// Abstract locker: the base returns 1 from all four operations.
class device_locker {
 public:
  device_locker() = default;
  virtual ~device_locker() = default;
  virtual int init(const char* name, void* reserved);
  virtual int lock(long timeout);
  virtual int unlock();
  virtual int uninit();
};

// The locker every device holds twice. On this platform it excludes nothing:
// init composes "Global\" + name (bounded to 64 characters) and drops it,
// lock/unlock/uninit return 0. Serialisation is the job of the process-wide
// named mutex of the token API.
class device_mutex_locker : public device_locker {
 public:
  device_mutex_locker();
  int init(const char* name, void* reserved) override;
  int lock(long timeout) override;
  int unlock() override;
  int uninit() override;
  const char* name() const { return name_; }

 private:
  char name_[512];
};

// The abstract device. Every I/O default is a failure value (-1).
class device_base {
 public:
  device_base();
  virtual ~device_base();

  virtual int open();
  virtual int close();
  virtual int set_parameter(int id, unsigned char* value, int len);
  virtual int send_data(const unsigned char* data, int len);
  // `*len` on entry: the capacity of `buf`; on success: the bytes stored.
  virtual int receive_data(unsigned char* buf, int* len);
  virtual int send_raw_data(const unsigned char* cdb, int cdb_len, const unsigned char* data, long len);
  virtual int receive_raw_data(const unsigned char* cdb, int cdb_len, unsigned char* buf, long* len);
  virtual int device_io(const unsigned char* cmd, int cmd_len, unsigned char* resp, int* resp_len);
  virtual int set_comm_timeout(int ms);
  virtual const char* get_dev_path();
  virtual const char* get_dev_name();
  virtual void set_dev_name(const char* name);
  virtual void set_dev_state(enmDevState state);
  virtual enmDevState get_dev_state();
  virtual int get_device_type();
  virtual int dev_present();
  virtual void* get_dev_os_handle();
  virtual int lock(long timeout);
  virtual int lock(long timeout, const char* name);
  virtual int unlock();
  virtual int begin_transaction(long timeout);
  virtual int end_transaction();
  virtual int get_hs_apdu_size(int* size);
  virtual int enable_high_speed(int enable);
  virtual int crypt_with_high_speed(unsigned long key, int alg, int mode, int flag1, int flag2,
                                    int flag3, unsigned char* iv, int iv_len, unsigned char* in,
                                    int in_len, unsigned char* out, int* out_len);

  // The opaque handle value the command layer hands out for this object:
  // taken from a process-wide counter at construction, never zero and never
  // repeated (unlike the object's address, which the allocator may reuse).
  uintptr_t handle_id() const { return handle_id_; }

 protected:
  device_mutex_locker dev_locker_;
  device_mutex_locker trans_locker_;

 private:
  int lock_with(device_mutex_locker& locker, long timeout, const char* name);
  uintptr_t handle_id_;
};

// Size of the path and name fields of the concrete devices.
constexpr int kDevPathLen = 256;
constexpr int kDevNameLen = 256;
