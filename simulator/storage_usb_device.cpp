#include "storage_usb_device.h"

#include "usb_descriptors.h"

namespace vtok {

using namespace rx::plat;

usb_device_descriptor storage_usb_device::device_descriptor() const {
  return make_device_descriptor(vid_, pid_);
}

usb_config_descriptor storage_usb_device::config_descriptor() const { return storage_token_config(); }

int storage_usb_device::interrupt_out(device_context&, uint8_t, const uint8_t*, int, int* transferred) {
  if (transferred) *transferred = 0;
  return USB_ERROR_NOT_FOUND;  // bulk endpoints only
}

int storage_usb_device::interrupt_in(device_context&, uint8_t, uint8_t*, int, int* transferred) {
  if (transferred) *transferred = 0;
  return USB_ERROR_NOT_FOUND;
}

int storage_usb_device::control_transfer(device_context&, uint8_t, uint8_t, uint16_t, uint16_t,
                                         uint8_t*, uint16_t) {
  return USB_ERROR_PIPE;
}

}  // namespace vtok
