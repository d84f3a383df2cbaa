// The in-process platform backend over a virtual_bus: what the transports
// see in the unit tests. Install it with rx::plat::set(&backend) and remove
// it with rx::plat::set(nullptr).
#pragma once

#include "clock.h"
#include "transport/platform.h"
#include "virtual_bus.h"

namespace vtok {

class sim_backend : public rx::plat::backend {
 public:
  // All calls run as `client` on the bus (tests use several backends with
  // different ids to play several processes).
  sim_backend(virtual_bus& bus, clock_source& clock, int client = 0);
  ~sim_backend() override;

  int client() const { return client_; }
  virtual_bus& bus() { return bus_; }

  int usb_init(rx::plat::usb_context** ctx) override;
  void usb_exit(rx::plat::usb_context* ctx) override;
  long usb_get_device_list(rx::plat::usb_context* ctx,
                           std::vector<rx::plat::usb_device_ref>* list) override;
  int usb_get_device_descriptor(rx::plat::usb_device* dev,
                                rx::plat::usb_device_descriptor* desc) override;
  int usb_get_active_config_descriptor(rx::plat::usb_device* dev,
                                       rx::plat::usb_config_descriptor* config) override;
  int usb_get_config_descriptor(rx::plat::usb_device* dev, uint8_t index,
                                rx::plat::usb_config_descriptor* config) override;
  uint8_t usb_get_bus_number(rx::plat::usb_device* dev) override;
  uint8_t usb_get_device_address(rx::plat::usb_device* dev) override;
  int usb_open(rx::plat::usb_device* dev, rx::plat::usb_device_handle** handle) override;
  void usb_close(rx::plat::usb_device_handle* handle) override;
  int usb_kernel_driver_active(rx::plat::usb_device_handle* handle, int interface_number) override;
  int usb_detach_kernel_driver(rx::plat::usb_device_handle* handle, int interface_number) override;
  int usb_claim_interface(rx::plat::usb_device_handle* handle, int interface_number) override;
  int usb_release_interface(rx::plat::usb_device_handle* handle, int interface_number) override;
  int usb_reset_device(rx::plat::usb_device_handle* handle) override;
  int usb_interrupt_transfer(rx::plat::usb_device_handle* handle, uint8_t endpoint, uint8_t* data,
                             int length, int* transferred, unsigned int timeout_ms) override;
  int usb_control_transfer(rx::plat::usb_device_handle* handle, uint8_t request_type,
                           uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                           uint16_t length, unsigned int timeout_ms) override;

  // The bus's sg nodes: paths "/dev/sg<n>"; sg_io reads and fills the
  // kernel's sg_io_hdr (errno is set on failure).
  bool sg_node_exists(int index) override;
  int sg_open(const char* path, int flags) override;
  int sg_io(int fd, sg_io_hdr_t* hdr) override;
  int sg_close(int fd) override;

  int usb_device_count() override;
  uint64_t monotonic_ms() override;
  void sleep_ms(unsigned int ms) override;

 private:
  virtual_bus& bus_;
  clock_source& clock_;
  int client_;
};

}  // namespace vtok
