// A platform backend that forwards every USB, SCSI generic and presence call
// to the rx7100-vtoken service over its Unix socket (docs/vtoken-protocol.md),
// so the transports run unchanged against virtual tokens shared by several
// processes. The clock is the real one.
//
// One connection per process: calls from several threads are serialised on
// it. A lost connection fails the calls on handles and descriptors opened
// through it (USB: NO_DEVICE; SCSI: -1) and the next call reconnects; a
// child process after fork() opens its own connection.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

#include "transport/platform.h"

namespace rx {
namespace plat {

class vtoken_client_backend : public backend {
 public:
  // `dir` is the service directory; the socket is dir + "/vtoken.sock".
  explicit vtoken_client_backend(std::string dir);
  ~vtoken_client_backend() override;
  vtoken_client_backend(const vtoken_client_backend&) = delete;
  vtoken_client_backend& operator=(const vtoken_client_backend&) = delete;

  int usb_init(usb_context** ctx) override;
  void usb_exit(usb_context* ctx) override;
  long usb_get_device_list(usb_context* ctx, std::vector<usb_device_ref>* list) override;
  int usb_get_device_descriptor(usb_device* dev, usb_device_descriptor* desc) override;
  int usb_get_active_config_descriptor(usb_device* dev, usb_config_descriptor* config) override;
  int usb_get_config_descriptor(usb_device* dev, uint8_t index, usb_config_descriptor* config) override;
  uint8_t usb_get_bus_number(usb_device* dev) override;
  uint8_t usb_get_device_address(usb_device* dev) override;
  int usb_open(usb_device* dev, usb_device_handle** handle) override;
  void usb_close(usb_device_handle* handle) override;
  int usb_kernel_driver_active(usb_device_handle* handle, int interface_number) override;
  int usb_detach_kernel_driver(usb_device_handle* handle, int interface_number) override;
  int usb_claim_interface(usb_device_handle* handle, int interface_number) override;
  int usb_release_interface(usb_device_handle* handle, int interface_number) override;
  int usb_reset_device(usb_device_handle* handle) override;
  int usb_interrupt_transfer(usb_device_handle* handle, uint8_t endpoint, uint8_t* data, int length,
                             int* transferred, unsigned int timeout_ms) override;
  int usb_control_transfer(usb_device_handle* handle, uint8_t request_type, uint8_t request,
                           uint16_t value, uint16_t index, uint8_t* data, uint16_t length,
                           unsigned int timeout_ms) override;

  bool sg_node_exists(int index) override;
  int sg_open(const char* path, int flags) override;
  int sg_io(int fd, sg_io_hdr_t* hdr) override;
  int sg_close(int fd) override;

  int usb_device_count() override;

  uint64_t monotonic_ms() override;
  void sleep_ms(unsigned int ms) override;

  // The service's id for this process's current connection (0: none).
  uint32_t client_id();

 private:
  enum class call_status { ok, unreachable, lost };
  // Sends one request and reads its response, connecting first when needed.
  // Any socket or framing failure drops the connection.
  call_status call_locked(const std::vector<uint8_t>& request, std::vector<uint8_t>* response);
  bool connect_locked();
  void disconnect_locked();
  void check_fork_locked();
  // Resolves a handle of the current connection; false when it belongs to a
  // connection that is gone.
  bool live_handle(usb_device_handle* handle, uint32_t* id);
  int simple_handle_call(uint8_t op, usb_device_handle* handle, bool with_interface, int interface_number);
  int config_descriptor(usb_device* dev, uint8_t index, usb_config_descriptor* config);

  std::string dir_;
  std::mutex mu_;
  int fd_ = -1;
  pid_t pid_ = 0;
  uint32_t client_id_ = 0;
  uint64_t generation_ = 1;  // advances whenever a connection ends
  struct sg_slot {
    uint64_t generation;
    int32_t remote;
  };
  std::map<int, sg_slot> sg_fds_;
  int next_sg_fd_ = 1000;
};

}  // namespace plat
}  // namespace rx
