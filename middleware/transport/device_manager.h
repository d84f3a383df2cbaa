// The device manager (one per process) and os_selector.
#pragma once

#include "transport/device_discover.h"

class hid_device_discover;

class device_manager : public device_discover {
 public:
  device_manager();
  ~device_manager() override;

  int discover_devices(const char* criteria, char (*names)[kNameLen],
                       int capacity = kNameTableEntries) override;
  int enum_and_create_devices(const char* criteria) override;
  int update_devices(int* removed, int* added, const char* criteria) override;
  device_base* get_device(int index) override;
  int get_device_number() override;
  device_base* get_first_device(void*& pos) override;
  device_base* get_next_device(void*& pos) override;
  device_base* get_device_by_position(void* pos) override;
  int destroy_removed_deviced() override;

  // Non-virtual helpers.
  device_base* get_device_by_path(const char* path);
  device_base* create_device(const char* path);
  int detect_removed_devices(char (*names)[kNameLen]);
  int detect_new_devices(int count, char (*names)[kNameLen]);
  static int contains_string(const char* str, char (*names)[kNameLen], int count);
  // Runs of commas count as one separator, empty fields vanish; no first
  // field: 1; no second: 2; else 0. f1, f2: 256 characters; f3: 1024 (the
  // HID list of 16 entries does not always fit in 256). No trimming.
  static int split_enum_strings(const char* criteria, char* f1, char* f2, char* f3);
  // Closes and deletes every device object and empties the list.
  void clear_devices();

  // The remembered values (tests and diagnostics).
  int last_name_count() const { return name_count_; }
  const char* last_criteria() const { return criteria_; }
  hid_device_discover& hid_discoverer() { return *hid_; }

 private:
  struct node {
    device_base* dev;
    node* next;
  };
  node* head_ = nullptr;
  node* tail_ = nullptr;
  int name_count_ = 0;
  char criteria_[256];
  hid_device_discover* hid_;
  device_discover* scsi_;
};

class os_selector {
 public:
  // The process-wide device manager.
  static device_manager* get_device_discover();
};
