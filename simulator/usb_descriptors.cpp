#include "usb_descriptors.h"

namespace vtok {

namespace {
constexpr uint8_t ep_bulk = 2;
constexpr uint8_t ep_interrupt = 3;

rx::plat::usb_interface one_setting(uint8_t number, uint8_t cls,
                                    std::vector<rx::plat::usb_endpoint_descriptor> eps) {
  rx::plat::usb_interface_descriptor d;
  d.bInterfaceNumber = number;
  d.bAlternateSetting = 0;
  d.bInterfaceClass = cls;
  d.endpoints = std::move(eps);
  rx::plat::usb_interface itf;
  itf.altsettings.push_back(std::move(d));
  return itf;
}

rx::plat::usb_endpoint_descriptor ep(uint8_t address, uint8_t type, uint16_t size) {
  rx::plat::usb_endpoint_descriptor e;
  e.bEndpointAddress = address;
  e.bmAttributes = type;
  e.wMaxPacketSize = size;
  return e;
}
}  // namespace

rx::plat::usb_config_descriptor hid_token_config() {
  rx::plat::usb_config_descriptor c;
  c.bConfigurationValue = 1;
  c.interfaces.push_back(one_setting(0, rx::plat::USB_CLASS_HID,
                                     {ep(hid_in_endpoint, ep_interrupt, hid_report_size),
                                      ep(hid_out_endpoint, ep_interrupt, hid_report_size)}));
  return c;
}

rx::plat::usb_config_descriptor hid_storage_token_config() {
  rx::plat::usb_config_descriptor c = hid_token_config();
  c.interfaces.push_back(one_setting(1, rx::plat::USB_CLASS_MASS_STORAGE,
                                     {ep(0x82, ep_bulk, 512), ep(0x02, ep_bulk, 512)}));
  return c;
}

rx::plat::usb_config_descriptor storage_token_config() {
  rx::plat::usb_config_descriptor c;
  c.bConfigurationValue = 1;
  c.interfaces.push_back(one_setting(0, rx::plat::USB_CLASS_MASS_STORAGE,
                                     {ep(0x82, ep_bulk, 512), ep(0x02, ep_bulk, 512)}));
  return c;
}

rx::plat::usb_config_descriptor single_interface_config(uint8_t interface_class) {
  rx::plat::usb_config_descriptor c;
  c.bConfigurationValue = 1;
  c.interfaces.push_back(one_setting(0, interface_class, {ep(0x81, ep_interrupt, 8)}));
  return c;
}

rx::plat::usb_device_descriptor make_device_descriptor(uint16_t vid, uint16_t pid,
                                                       uint8_t device_class) {
  rx::plat::usb_device_descriptor d;
  d.idVendor = vid;
  d.idProduct = pid;
  d.bcdDevice = 0x0100;
  d.bDeviceClass = device_class;
  d.bNumConfigurations = 1;
  return d;
}

}  // namespace vtok
