// The production backend: a thin adaptor over libusb-1.0, the sg nodes,
// sysfs and the system clock. Descriptors are converted into the seam's
// structs; error values pass through unchanged.
#include <dirent.h>
#include <fcntl.h>
#include <libusb.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "transport/platform.h"

namespace rx {
namespace plat {

namespace {

struct lx_context : usb_context {
  libusb_context* ctx = nullptr;
};

struct lx_device : usb_device {
  explicit lx_device(libusb_device* d) : dev(libusb_ref_device(d)) {}
  ~lx_device() override { libusb_unref_device(dev); }
  libusb_device* dev;
};

struct lx_handle : usb_device_handle {
  libusb_device_handle* h = nullptr;
};

libusb_context* raw(usb_context* c) { return c ? static_cast<lx_context*>(c)->ctx : nullptr; }
libusb_device* raw(usb_device* d) { return static_cast<lx_device*>(d)->dev; }
libusb_device_handle* raw(usb_device_handle* h) { return static_cast<lx_handle*>(h)->h; }

void convert(const libusb_config_descriptor* in, usb_config_descriptor* out) {
  out->bConfigurationValue = in->bConfigurationValue;
  out->interfaces.clear();
  for (int i = 0; i < in->bNumInterfaces; ++i) {
    const libusb_interface& itf = in->interface[i];
    usb_interface o;
    for (int a = 0; a < itf.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = itf.altsetting[a];
      usb_interface_descriptor d;
      d.bInterfaceNumber = alt.bInterfaceNumber;
      d.bAlternateSetting = alt.bAlternateSetting;
      d.bInterfaceClass = alt.bInterfaceClass;
      d.bInterfaceSubClass = alt.bInterfaceSubClass;
      d.bInterfaceProtocol = alt.bInterfaceProtocol;
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        usb_endpoint_descriptor ep;
        ep.bEndpointAddress = alt.endpoint[e].bEndpointAddress;
        ep.bmAttributes = alt.endpoint[e].bmAttributes;
        ep.wMaxPacketSize = alt.endpoint[e].wMaxPacketSize;
        d.endpoints.push_back(ep);
      }
      o.altsettings.push_back(std::move(d));
    }
    out->interfaces.push_back(std::move(o));
  }
}

class linux_backend_impl : public backend {
 public:
  int usb_init(usb_context** ctx) override {
    if (!ctx) return USB_ERROR_INVALID_PARAM;
    auto* c = new lx_context;
    int r = libusb_init(&c->ctx);
    if (r < 0) {
      delete c;
      *ctx = nullptr;
      return r;
    }
    *ctx = c;
    return 0;
  }

  void usb_exit(usb_context* ctx) override {
    if (!ctx) return;
    libusb_exit(raw(ctx));
    delete static_cast<lx_context*>(ctx);
  }

  long usb_get_device_list(usb_context* ctx, std::vector<usb_device_ref>* list) override {
    libusb_device** devs = nullptr;
    ssize_t n = libusb_get_device_list(raw(ctx), &devs);
    if (n < 0) return static_cast<long>(n);
    list->clear();
    list->reserve(static_cast<size_t>(n));
    for (ssize_t i = 0; i < n; ++i) list->push_back(std::make_shared<lx_device>(devs[i]));
    libusb_free_device_list(devs, 1);  // our references keep the devices
    return static_cast<long>(n);
  }

  int usb_get_device_descriptor(usb_device* dev, usb_device_descriptor* desc) override {
    libusb_device_descriptor d;
    int r = libusb_get_device_descriptor(raw(dev), &d);
    if (r < 0) return r;
    desc->idVendor = d.idVendor;
    desc->idProduct = d.idProduct;
    desc->bcdDevice = d.bcdDevice;
    desc->bDeviceClass = d.bDeviceClass;
    desc->bNumConfigurations = d.bNumConfigurations;
    return 0;
  }

  int usb_get_active_config_descriptor(usb_device* dev, usb_config_descriptor* config) override {
    libusb_config_descriptor* c = nullptr;
    int r = libusb_get_active_config_descriptor(raw(dev), &c);
    if (r < 0) return r;
    convert(c, config);
    libusb_free_config_descriptor(c);
    return 0;
  }

  int usb_get_config_descriptor(usb_device* dev, uint8_t index, usb_config_descriptor* config) override {
    libusb_config_descriptor* c = nullptr;
    int r = libusb_get_config_descriptor(raw(dev), index, &c);
    if (r < 0) return r;
    convert(c, config);
    libusb_free_config_descriptor(c);
    return 0;
  }

  uint8_t usb_get_bus_number(usb_device* dev) override { return libusb_get_bus_number(raw(dev)); }
  uint8_t usb_get_device_address(usb_device* dev) override {
    return libusb_get_device_address(raw(dev));
  }

  int usb_open(usb_device* dev, usb_device_handle** handle) override {
    libusb_device_handle* h = nullptr;
    int r = libusb_open(raw(dev), &h);
    if (r < 0) {
      *handle = nullptr;
      return r;
    }
    auto* w = new lx_handle;
    w->h = h;
    *handle = w;
    return 0;
  }

  void usb_close(usb_device_handle* handle) override {
    if (!handle) return;
    libusb_close(raw(handle));
    delete static_cast<lx_handle*>(handle);
  }

  int usb_kernel_driver_active(usb_device_handle* handle, int interface_number) override {
    return libusb_kernel_driver_active(raw(handle), interface_number);
  }
  int usb_detach_kernel_driver(usb_device_handle* handle, int interface_number) override {
    return libusb_detach_kernel_driver(raw(handle), interface_number);
  }
  int usb_claim_interface(usb_device_handle* handle, int interface_number) override {
    return libusb_claim_interface(raw(handle), interface_number);
  }
  int usb_release_interface(usb_device_handle* handle, int interface_number) override {
    return libusb_release_interface(raw(handle), interface_number);
  }
  int usb_reset_device(usb_device_handle* handle) override {
    return libusb_reset_device(raw(handle));
  }

  int usb_interrupt_transfer(usb_device_handle* handle, uint8_t endpoint, uint8_t* data, int length,
                             int* transferred, unsigned int timeout_ms) override {
    return libusb_interrupt_transfer(raw(handle), endpoint, data, length, transferred, timeout_ms);
  }

  int usb_control_transfer(usb_device_handle* handle, uint8_t request_type, uint8_t request,
                           uint16_t value, uint16_t index, uint8_t* data, uint16_t length,
                           unsigned int timeout_ms) override {
    return libusb_control_transfer(raw(handle), request_type, request, value, index, data, length,
                                   timeout_ms);
  }

  bool sg_node_exists(int index) override {
    char path[32];
    std::snprintf(path, sizeof(path), "/dev/sg%d", index);
    struct stat st;
    return ::stat(path, &st) == 0;
  }

  int sg_open(const char* path, int flags) override { return ::open(path, flags); }

  int sg_io(int fd, sg_io_hdr_t* hdr) override { return ::ioctl(fd, SG_IO, hdr) < 0 ? -1 : 0; }

  int sg_close(int fd) override { return ::close(fd); }

  int usb_device_count() override {
    DIR* dir = ::opendir("/sys/bus/usb/devices");
    if (!dir) return -1;
    int count = 0;
    while (struct dirent* e = ::readdir(dir)) {
      const char* name = e->d_name;
      bool counted = std::isdigit(static_cast<unsigned char>(name[0])) ||
                     std::strncmp(name, "usb", 3) == 0;
      if (counted && std::strchr(name, ':') == nullptr) ++count;
    }
    ::closedir(dir);
    return count;
  }

  uint64_t monotonic_ms() override {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  }

  void sleep_ms(unsigned int ms) override {
    struct timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

backend& linux_backend() {
  // Never destroyed: device objects closed during static destruction may
  // still reach it.
  static backend* b = new linux_backend_impl();
  return *b;
}

}  // namespace plat
}  // namespace rx
