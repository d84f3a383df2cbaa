// The virtual token's bus: plugged virtual tokens, their USB identity and
// device models, the transfer record, fault injection and the clock.
//
// One virtual_bus is hosted either in-process (sim_backend, for unit tests)
// or by the rx7100-vtoken service (shared by several client processes). Its
// operation API takes the id of the client on whose behalf it runs; every
// call is serialised by one mutex. It speaks at the level of USB transfers;
// the card OS behind each token sees only APDUs.
//
// Results follow libusb (rx::plat::usb_error). Unplugging a token makes every
// operation on its handles fail with USB_ERROR_NO_DEVICE and removes it from
// the device list; the token (with its persistent state) stays known to the
// bus and can be replugged.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "faults.h"
#include "scsi_target.h"
#include "sg_types.h"
#include "token.h"
#include "transfer_record.h"
#include "transport/platform.h"

namespace vtok {

struct usb_device_info {
  uint64_t id = 0;  // unique per plug instance
  uint8_t bus = 0;
  uint8_t address = 0;
  rx::plat::usb_device_descriptor descriptor;
  bool is_token = false;
  std::string serial;  // tokens only
};

class virtual_bus {
 public:
  static constexpr int root_hub_count = 2;  // buses 1 and 2, each hub at address 1

  explicit virtual_bus(clock_source& clock);
  ~virtual_bus();
  virtual_bus(const virtual_bus&) = delete;
  virtual_bus& operator=(const virtual_bus&) = delete;

  clock_source& clock() { return clock_; }

  // ---- plugging (test and service control) ----
  // Plugs a token; throws std::invalid_argument when the configuration
  // cannot be honoured (address taken, duplicate serial, bad state JSON).
  token& plug(const token_config& cfg);
  // The same without exceptions: nullptr and *error.
  token* try_plug(const token_config& cfg, std::string* error = nullptr);
  // Unknown or already unplugged serials are ignored.
  void unplug(const std::string& serial);
  // Re-plugs a stored token at its previous address (when same_address and
  // it is free) or at the next free one; throws std::invalid_argument for
  // an unknown serial.
  token& replug(const std::string& serial, bool same_address);
  token* find(const std::string& serial);
  std::vector<token*> tokens();  // plugged and stored
  // A non-token device (for discovery tests); returns its device id.
  uint64_t plug_other(uint16_t vid, uint16_t pid, uint8_t interface_class, int bus = 1);
  void unplug_other(uint64_t id);

  // Runs fn under the bus lock (for card OS access while other threads
  // transfer).
  void with_lock(const std::function<void()>& fn);

  // ---- operations on behalf of a client ----
  std::vector<usb_device_info> list_devices();
  int get_device_descriptor(uint64_t device, rx::plat::usb_device_descriptor* desc);
  int get_config_descriptor(uint64_t device, uint8_t index, rx::plat::usb_config_descriptor* cfg);
  int open(int client, uint64_t device, uint32_t* handle);
  int close(int client, uint32_t handle);
  void close_client(int client);  // closes every handle the client left open
  int kernel_driver_active(int client, uint32_t handle, int interface_number);
  int detach_kernel_driver(int client, uint32_t handle, int interface_number);
  // Claims are per handle, as the kernel keeps them per open file: another
  // handle (of any client) gets USB_ERROR_BUSY, the holder may claim again.
  int claim_interface(int client, uint32_t handle, int interface_number);
  int release_interface(int client, uint32_t handle, int interface_number);
  int reset_device(int client, uint32_t handle);
  // A read that finds nothing to deliver waits `timeout_ms` on the bus clock
  // (outside the lock) and fails with USB_ERROR_TIMEOUT.
  int interrupt_transfer(int client, uint32_t handle, uint8_t endpoint, uint8_t* data, int length,
                         int* transferred, unsigned timeout_ms);
  int control_transfer(int client, uint32_t handle, uint8_t request_type, uint8_t request,
                       uint16_t value, uint16_t index, uint8_t* data, uint16_t length,
                       unsigned timeout_ms);
  // USB devices and root hubs present.
  int usb_device_count();

  // ---- SCSI generic nodes (virtual_bus_sg.cpp) ----
  // Plugged scsi tokens and plain SCSI disks each own one sg node; numbers
  // may have gaps. A disk that is not a token (for discovery tests): its
  // node number, or -1 and *error (number taken or out of range).
  int plug_scsi_disk(const scsi_identity& id, int sg_index = -1, std::string* error = nullptr);
  void unplug_scsi_disk(int sg_index);
  std::vector<sg_node_info> list_sg_nodes();
  bool sg_node_exists(int index);
  // Descriptors are numbered per client like a process's files: the lowest
  // free number at or above the base (3 by default: stdin, stdout and
  // stderr are open; 0 plays a process started with them closed).
  void set_sg_descriptor_base(int base);
  // Results are 0 or an errno value (ENOENT no such node, EBADF unknown
  // descriptor, ENODEV the device went away, EPERM a command that needs a
  // read-write descriptor, EINVAL a malformed request).
  int sg_open(int client, int index, bool read_write, int* fd);
  int sg_io(int client, int fd, const sg_request& req, sg_reply* reply);
  int sg_close(int client, int fd);

 private:
  struct other_device {
    usb_device_info info;
    uint8_t interface_class = 0;
  };
  struct handle_entry {
    int client = 0;
    uint64_t device = 0;
  };
  struct sg_disk {
    uint64_t id = 0;
    std::unique_ptr<scsi_target> target;
  };
  struct sg_descriptor {
    int node = 0;
    uint64_t instance = 0;  // token plug instance or disk id at open time
    bool read_write = false;
  };

  int pick_address(int bus, int wanted, std::string* error);
  bool address_in_use(int bus, int address) const;
  token* token_by_device(uint64_t device);
  // Resolves a handle for `client`: the token, or an error (NO_DEVICE for a
  // handle whose device went away).
  int resolve(int client, uint32_t handle, token** out);
  void plug_locked(token& t, int bus, int address);
  void unplug_locked(token& t);
  void release_handle_claims(uint32_t handle);
  void add_record(token& t, transfer_entry e);
  // Records a handle operation that moves no data (open, close, reset, and
  // the interface operations: `interface_number` in index, `request` 1 for a
  // detach).
  void add_handle_record(token& t, int client, transfer_entry::kind what, int interface_number = 0,
                         int result = 0, uint8_t request = 0);
  int wait_out_timeout(std::unique_lock<std::mutex>& lk, token& t, transfer_entry e, unsigned timeout_ms);
  void note_traffic(token& t, int client);
  bool sg_index_in_use(int index) const;
  int pick_sg_index(int wanted, std::string* error) const;
  token* token_by_sg_index(int index);

  clock_source& clock_;
  std::mutex mu_;
  std::map<std::string, std::unique_ptr<token>> tokens_;
  std::vector<std::string> order_;  // plug order of serials
  std::map<uint64_t, other_device> others_;
  std::map<uint32_t, handle_entry> handles_;
  std::map<int, int> next_address_;  // per bus
  std::map<int, sg_disk> disks_;                      // sg node -> plain disk
  std::map<std::pair<int, int>, sg_descriptor> sg_fds_;  // (client, fd)
  int sg_fd_base_ = 3;
  uint64_t next_device_id_ = 0x100;
  uint32_t next_handle_ = 1;
  unsigned serial_counter_ = 0;
};

}  // namespace vtok
