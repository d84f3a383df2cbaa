// The abstract discoverer and the criteria-string helpers.
#pragma once

#include "transport/device_base.h"

// The default device criteria string: SCSI product prefix, an
// unused USB filter, and the "|"-separated HID list.
extern const char kRxDefaultDeviceCriteria[];

// Entries of the name table of one discovery pass, and their size.
constexpr int kNameTableEntries = 32;
constexpr int kNameLen = 256;
// At most this many entries of the HID list are used; more are ignored.
constexpr int kHidListEntries = 16;
// Criteria strings are read up to this many characters.
constexpr int kCriteriaMax = 1024;

class device_discover {
 public:
  device_discover() = default;
  // Virtual so that discoverers made by a factory can be deleted safely.
  virtual ~device_discover() = default;

  // Fills `names` (at most `capacity` entries) and returns the count.
  virtual int discover_devices(const char* criteria, char (*names)[kNameLen],
                               int capacity = kNameTableEntries);
  virtual int enum_and_create_devices(const char* criteria);
  virtual int update_devices(int* removed, int* added, const char* criteria);
  virtual device_base* get_device(int index);
  virtual int get_device_number();
  virtual device_base* get_first_device(void*& pos);
  virtual device_base* get_next_device(void*& pos);
  virtual device_base* get_device_by_position(void* pos);
  virtual int destroy_removed_deviced();
  virtual device_base* add_new_device(const char* name, void* handle);
  virtual int delete_device(void* pos);

  // Drops leading blanks and tabs in place.
  static void ltrim(char* s);
  // Splits `field` on "|" into consecutive entries of `out` (runs of
  // separators count as one, empty entries vanish); at most `max_entries`
  // entries are written, more are ignored. Returns the number written.
  static int split_hid_strings(const char* field, char (*out)[kNameLen], int max_entries);
  // The base splitter: like device_manager::split_enum_strings, but the third
  // field is bounded to 1024 and, when it is present, all three are trimmed
  // of leading blanks and tabs. f1, f2: 256 characters; f3: 1024.
  static int split_enum_strings(const char* criteria, char* f1, char* f2, char* f3);
};
