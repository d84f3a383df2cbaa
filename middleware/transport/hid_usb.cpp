#include "transport/hid_usb.h"

#include <cstdio>
#include <mutex>

namespace rx {
namespace hid {

namespace {
int g_insert_flag = 0;

struct owned_context {
  plat::backend* owner = nullptr;
  plat::usb_context* ctx = nullptr;
};
owned_context g_enum;
owned_context g_io;
std::mutex& io_mutex() {
  static std::mutex* m = new std::mutex;  // never destroyed: usable at exit
  return *m;
}

void end(owned_context& c) {
  if (c.ctx && c.owner == &plat::get()) c.owner->usb_exit(c.ctx);
  c.ctx = nullptr;
  c.owner = nullptr;
}

int ensure(owned_context& c) {
  plat::backend& be = plat::get();
  if (c.ctx && c.owner == &be) return 0;
  c.ctx = nullptr;  // made by another backend: abandoned, not ours to end
  c.owner = nullptr;
  plat::usb_context* ctx = nullptr;
  int r = be.usb_init(&ctx);
  if (r < 0) return r;
  c.ctx = ctx;
  c.owner = &be;
  return 0;
}
}  // namespace

int& insert_flag() { return g_insert_flag; }

plat::usb_context* enum_context(int* err) {
  int r = ensure(g_enum);
  if (err) *err = r;
  return r < 0 ? nullptr : g_enum.ctx;
}

int init_io_context(plat::usb_context** ctx) {
  std::lock_guard<std::mutex> lock(io_mutex());
  if (ensure(g_io) < 0) return -1;
  *ctx = g_io.ctx;
  return 0;
}

void exit_io_context() {
  std::lock_guard<std::mutex> lock(io_mutex());
  end(g_io);
}

void release_contexts() {
  exit_io_context();
  end(g_enum);
}

bool is_ctr_layout(plat::backend& be, plat::usb_device* dev) {
  plat::usb_config_descriptor cfg;
  if (be.usb_get_active_config_descriptor(dev, &cfg) != 0) {
    cfg = plat::usb_config_descriptor();
    if (be.usb_get_config_descriptor(dev, 0, &cfg) != 0) return false;
  }
  int counted = 0;
  for (const plat::usb_interface& itf : cfg.interfaces)
    for (const plat::usb_interface_descriptor& alt : itf.altsettings)
      if (alt.bInterfaceClass == plat::USB_CLASS_HID ||
          alt.bInterfaceClass == plat::USB_CLASS_MASS_STORAGE)
        ++counted;
  return counted == 2;
}

int path_address(plat::backend& be, const std::vector<plat::usb_device_ref>& list, size_t index) {
  plat::usb_device* dev = list[index].get();
  plat::usb_device_descriptor mine;
  int addr = be.usb_get_device_address(dev);
  if (be.usb_get_device_descriptor(dev, &mine) != 0) return addr;
  int bus = be.usb_get_bus_number(dev);
  for (size_t j = 0; j < list.size(); ++j) {
    if (j == index) continue;
    plat::usb_device* other = list[j].get();
    if (be.usb_get_device_address(other) != addr) continue;
    if (be.usb_get_bus_number(other) == bus) continue;
    plat::usb_device_descriptor d;
    if (be.usb_get_device_descriptor(other, &d) != 0) continue;
    if (d.idVendor == mine.idVendor && d.idProduct == mine.idProduct) return (bus << 8) | addr;
  }
  return addr;
}

void format_path(char* out, size_t size, bool ctr, uint16_t vid, uint16_t pid, int addr_field) {
  std::snprintf(out, size, "%svid_%04x&pid_%04x&addr_%04x", ctr ? "hidctr_" : "hid_", vid, pid,
                addr_field);
}

}  // namespace hid
}  // namespace rx
