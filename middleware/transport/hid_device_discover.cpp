#include "transport/hid_device_discover.h"

#include <cstdio>
#include <cstring>

#include "transport/hid_usb.h"

using rx::plat::backend;
using rx::plat::usb_device_ref;

bool hid_device_discover::communicate_with_ctr_report(rx::plat::usb_device* dev) {
  return rx::hid::is_ctr_layout(rx::plat::get(), dev);
}

int hid_device_discover::inquiry_identify(const std::vector<usb_device_ref>& list, size_t index,
                                          const char* hid_list, char* name) {
  backend& be = rx::plat::get();
  rx::plat::usb_device* dev = list[index].get();
  rx::plat::usb_device_descriptor desc;
  if (be.usb_get_device_descriptor(dev, &desc) != 0) return 1;

  char entries[kHidListEntries][kNameLen];
  std::memset(entries, 0, sizeof(entries));
  split_hid_strings(hid_list, entries, kHidListEntries);

  char id[64];
  std::snprintf(id, sizeof(id), "vid_%04x&pid_%04x", desc.idVendor, desc.idProduct);
  for (int i = 0; i < kHidListEntries; ++i) {
    if (entries[i][0] == 0 || std::strcmp(entries[i], id) != 0) continue;
    int addr = rx::hid::path_address(be, list, index);
    bool ctr = communicate_with_ctr_report(dev);
    rx::hid::format_path(name, kNameLen, ctr, desc.idVendor, desc.idProduct, addr);
    return 0;
  }
  return 1;
}

int hid_device_discover::discover_devices(const char* hid_list, char (*names)[kNameLen],
                                          int capacity) {
  backend& be = rx::plat::get();
  int err = 0;
  rx::plat::usb_context* ctx = rx::hid::enum_context(&err);
  if (!ctx) return err < 0 ? err : rx::plat::USB_ERROR_OTHER;

  std::vector<usb_device_ref> list;
  long n = be.usb_get_device_list(ctx, &list);
  if (n < 0) return static_cast<int>(n);

  int count = 0;
  for (size_t i = 0; i < list.size() && count < capacity; ++i) {
    char name[kNameLen] = {0};
    if (inquiry_identify(list, i, hid_list, name) == 0) {
      std::memcpy(names[count], name, kNameLen);
      ++count;
    }
  }

  // The insert flag: raised on a change of the count, except for a first
  // pass that finds none.
  if (count != previous_count_ && !(previous_count_ == -1 && count == 0))
    rx::hid::insert_flag() = 1;
  previous_count_ = count;
  list.clear();  // drops the references (libusb_free_device_list(list, 1))
  return count;
}
