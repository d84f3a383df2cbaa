// The platform seam under the transports.
//
// The transports, the discoverers and the presence monitor never call libusb,
// the SCSI generic driver, sysfs or the clock themselves: they go through the
// one backend object returned by platform::get(). The production backend is a
// thin adaptor over libusb-1.0 and the kernel (platform_linux.cpp); the
// virtual token supplies an in-process backend for the unit tests and a
// client backend that talks to the rx7100-vtoken service (selected by the
// RX7100_VTOKEN environment variable).
//
// Error values of the USB calls are libusb's (LIBUSB_ERROR_*), so the code
// above the seam reads exactly like code written against libusb.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <scsi/sg.h>

namespace rx {
namespace plat {

// libusb's error values.
enum usb_error : int {
  USB_SUCCESS = 0,
  USB_ERROR_IO = -1,
  USB_ERROR_INVALID_PARAM = -2,
  USB_ERROR_ACCESS = -3,
  USB_ERROR_NO_DEVICE = -4,
  USB_ERROR_NOT_FOUND = -5,
  USB_ERROR_BUSY = -6,
  USB_ERROR_TIMEOUT = -7,
  USB_ERROR_OVERFLOW = -8,
  USB_ERROR_PIPE = -9,
  USB_ERROR_INTERRUPTED = -10,
  USB_ERROR_NO_MEM = -11,
  USB_ERROR_NOT_SUPPORTED = -12,
  USB_ERROR_OTHER = -99,
};

// USB class codes the transports look at.
constexpr uint8_t USB_CLASS_HID = 3;
constexpr uint8_t USB_CLASS_MASS_STORAGE = 8;

struct usb_device_descriptor {
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0;
  uint8_t bDeviceClass = 0;
  uint8_t bNumConfigurations = 0;
};

struct usb_endpoint_descriptor {
  uint8_t bEndpointAddress = 0;  // bit 7 set: IN
  uint8_t bmAttributes = 0;      // low two bits: transfer type
  uint16_t wMaxPacketSize = 0;
};

struct usb_interface_descriptor {  // one alternate setting
  uint8_t bInterfaceNumber = 0;
  uint8_t bAlternateSetting = 0;
  uint8_t bInterfaceClass = 0;
  uint8_t bInterfaceSubClass = 0;
  uint8_t bInterfaceProtocol = 0;
  std::vector<usb_endpoint_descriptor> endpoints;
};

struct usb_interface {  // all alternate settings of one interface
  std::vector<usb_interface_descriptor> altsettings;
};

struct usb_config_descriptor {
  uint8_t bConfigurationValue = 0;
  std::vector<usb_interface> interfaces;
};

// Opaque objects owned by a backend. Device references are shared pointers:
// dropping the list drops the references, as libusb_free_device_list(list, 1)
// does.
struct usb_context {
  virtual ~usb_context() = default;
};
struct usb_device {
  virtual ~usb_device() = default;
};
struct usb_device_handle {
  virtual ~usb_device_handle() = default;
};
using usb_device_ref = std::shared_ptr<usb_device>;

class backend {
 public:
  virtual ~backend() = default;

  // ---- USB (the subset of libusb-1.0 the HID transports use) ----
  // libusb_init / libusb_exit.
  virtual int usb_init(usb_context** ctx) = 0;
  virtual void usb_exit(usb_context* ctx) = 0;
  // libusb_get_device_list: number of devices or a negative error.
  virtual long usb_get_device_list(usb_context* ctx, std::vector<usb_device_ref>* list) = 0;
  virtual int usb_get_device_descriptor(usb_device* dev, usb_device_descriptor* desc) = 0;
  virtual int usb_get_active_config_descriptor(usb_device* dev, usb_config_descriptor* config) = 0;
  virtual int usb_get_config_descriptor(usb_device* dev, uint8_t index, usb_config_descriptor* config) = 0;
  virtual uint8_t usb_get_bus_number(usb_device* dev) = 0;
  virtual uint8_t usb_get_device_address(usb_device* dev) = 0;
  virtual int usb_open(usb_device* dev, usb_device_handle** handle) = 0;
  virtual void usb_close(usb_device_handle* handle) = 0;
  virtual int usb_kernel_driver_active(usb_device_handle* handle, int interface_number) = 0;
  virtual int usb_detach_kernel_driver(usb_device_handle* handle, int interface_number) = 0;
  virtual int usb_claim_interface(usb_device_handle* handle, int interface_number) = 0;
  virtual int usb_release_interface(usb_device_handle* handle, int interface_number) = 0;
  virtual int usb_reset_device(usb_device_handle* handle) = 0;
  // libusb_interrupt_transfer: 0 or an error; *transferred gets the count.
  virtual int usb_interrupt_transfer(usb_device_handle* handle, uint8_t endpoint, uint8_t* data,
                                     int length, int* transferred, unsigned int timeout_ms) = 0;
  // libusb_control_transfer: bytes transferred or a negative error.
  virtual int usb_control_transfer(usb_device_handle* handle, uint8_t request_type, uint8_t request,
                                   uint16_t value, uint16_t index, uint8_t* data, uint16_t length,
                                   unsigned int timeout_ms) = 0;

  // ---- SCSI generic ----
  // Whether the node "/dev/sg<index>" exists.
  virtual bool sg_node_exists(int index) = 0;
  // open(2) of an sg node with O_RDONLY or O_RDWR: a descriptor >= 0 or -1.
  virtual int sg_open(const char* path, int flags) = 0;
  // ioctl(fd, SG_IO, hdr): 0 or -1.
  virtual int sg_io(int fd, sg_io_hdr_t* hdr) = 0;
  virtual int sg_close(int fd) = 0;

  // ---- presence ----
  // Number of USB devices and root hubs (the entries of /sys/bus/usb/devices
  // whose names begin with a digit or "usb" and contain no ':'); -1 when it
  // cannot be read.
  virtual int usb_device_count() = 0;

  // ---- clock ----
  virtual uint64_t monotonic_ms() = 0;
  virtual void sleep_ms(unsigned int ms) = 0;
};

// The backend in use. On first use: the rx7100-vtoken client backend when
// RX7100_VTOKEN names a service directory, otherwise the production backend.
backend& get();
// Replaces the backend (tests install the in-process virtual token this way);
// nullptr restores the default choice. The caller keeps ownership and must
// keep the object alive while it is installed.
void set(backend* b);

// The production backend (libusb-1.0, sg nodes, sysfs, the system clock).
backend& linux_backend();

}  // namespace plat
}  // namespace rx
