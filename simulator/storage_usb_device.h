// The USB face of a SCSI token: a mass-storage device that the host's
// storage driver owns. Its descriptors are listed on the bus; it takes no
// interrupt or class control transfers (the token is reached through its sg
// node, see scsi_target.h).
#pragma once

#include "token_device.h"

namespace vtok {

class storage_usb_device : public token_device {
 public:
  storage_usb_device(uint16_t vid, uint16_t pid) : vid_(vid), pid_(pid) {}

  rx::plat::usb_device_descriptor device_descriptor() const override;
  rx::plat::usb_config_descriptor config_descriptor() const override;
  int interrupt_out(device_context& ctx, uint8_t endpoint, const uint8_t* data, int length,
                    int* transferred) override;
  int interrupt_in(device_context& ctx, uint8_t endpoint, uint8_t* data, int length,
                   int* transferred) override;
  int control_transfer(device_context& ctx, uint8_t request_type, uint8_t request, uint16_t value,
                       uint16_t index, uint8_t* data, uint16_t length) override;
  void power_cycle() override {}

 private:
  uint16_t vid_, pid_;
};

}  // namespace vtok
