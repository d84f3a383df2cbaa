#include "transport/device_manager.h"

#include <cstdio>
#include <cstring>
#include <vector>
#include <string>

#include "transport/device_factory.h"
#include "transport/hid_device_discover.h"

device_manager::device_manager() : hid_(new hid_device_discover()), scsi_(make_scsi_discoverer()) {
  std::memset(criteria_, 0, sizeof(criteria_));
}

device_manager::~device_manager() {
  clear_devices();
  delete hid_;
  delete scsi_;
}

int device_manager::split_enum_strings(const char* criteria, char* f1, char* f2, char* f3) {
  // Same tokenising as the base helper but without trimming.
  std::vector<std::string> t;
  if (criteria) {
    std::string work(criteria, strnlen(criteria, kCriteriaMax));
    size_t i = 0;
    while (i < work.size()) {
      while (i < work.size() && work[i] == ',') ++i;
      if (i >= work.size()) break;
      size_t j = work.find(',', i);
      if (j == std::string::npos) j = work.size();
      t.push_back(work.substr(i, j - i));
      i = j;
    }
  }
  if (t.empty()) return 1;
  std::snprintf(f1, kNameLen, "%s", t[0].c_str());
  if (t.size() < 2) return 2;
  std::snprintf(f2, kNameLen, "%s", t[1].c_str());
  if (t.size() >= 3) std::snprintf(f3, kCriteriaMax, "%s", t[2].c_str());
  return 0;
}

int device_manager::discover_devices(const char* criteria, char (*names)[kNameLen], int capacity) {
  char f1[kNameLen] = {0}, f2[kNameLen] = {0}, f3[kCriteriaMax] = {0};
  if (split_enum_strings(criteria, f1, f2, f3) != 0) return 0;
  int total = 0;
  if (f3[0] != 0) {
    int n = hid_->discover_devices(f3, names, capacity);
    total = n < 0 ? 0 : n;
  }
  if (f1[0] != 0 && total < capacity) {
    int n = scsi_->discover_devices(f1, names + total, capacity - total);
    if (n > 0) total += n;
  }
  return total;
}

int device_manager::contains_string(const char* str, char (*names)[kNameLen], int count) {
  if (!str) return -1;
  for (int i = 0; i < count; ++i)
    if (std::strcmp(names[i], str) == 0) return i;
  return -1;
}

device_base* device_manager::get_device_by_path(const char* path) {
  if (!path) return nullptr;
  for (node* n = head_; n; n = n->next) {
    const char* p = n->dev->get_dev_path();
    if (p && std::strcmp(p, path) == 0) return n->dev;
  }
  return nullptr;
}

device_base* device_manager::create_device(const char* path) {
  if (device_base* d = get_device_by_path(path)) return d;
  device_base* d;
  if (std::strstr(path, "hidctr"))
    d = make_hidctr_device(path);
  else if (std::strstr(path, "hid"))
    d = make_hid_device(path);
  else
    d = make_scsi_device(path);
  if (!d) return nullptr;
  node* n = new node{d, nullptr};
  if (tail_)
    tail_->next = n;
  else
    head_ = n;
  tail_ = n;
  return d;
}

int device_manager::detect_removed_devices(char (*names)[kNameLen]) {
  int removed = 0;
  for (node* n = head_; n; n = n->next) {
    if (contains_string(n->dev->get_dev_path(), names, kNameTableEntries) < 0) {
      n->dev->set_dev_state(DEV_STATE_REMOVED);
      n->dev->close();
      ++removed;
    } else {
      n->dev->set_dev_state(DEV_STATE_PRESENT);
    }
  }
  return removed;
}

int device_manager::detect_new_devices(int count, char (*names)[kNameLen]) {
  int added = 0;
  for (int i = 0; i < count; ++i) {
    if (get_device_by_path(names[i])) continue;
    device_base* d = create_device(names[i]);
    if (!d) continue;
    d->set_dev_state(DEV_STATE_ARRIVED);
    ++added;
  }
  return added;
}

int device_manager::update_devices(int* removed, int* added, const char* criteria) {
  // The kept copy is truncated to 255 characters; discovery reads the
  // caller's string (up to 1024 characters).
  std::snprintf(criteria_, sizeof(criteria_), "%s", criteria ? criteria : "");
  char names[kNameTableEntries][kNameLen];
  std::memset(names, 0, sizeof(names));
  int count = discover_devices(criteria, names, kNameTableEntries);
  int r = detect_removed_devices(names);
  int a = detect_new_devices(count, names);
  if (removed) *removed = r;
  if (added) *added = a;
  return count;
}

int device_manager::enum_and_create_devices(const char* criteria) {
  int removed = 0, added = 0;
  name_count_ = update_devices(&removed, &added, criteria);
  return name_count_;
}

int device_manager::get_device_number() {
  int n = 0;
  for (node* p = head_; p; p = p->next) ++n;
  return n;
}

device_base* device_manager::get_device(int index) {
  if (index < 0 || index >= name_count_) return nullptr;
  int i = 0;
  for (node* p = head_; p; p = p->next, ++i)
    if (i == index) return p->dev;
  return nullptr;
}

device_base* device_manager::get_first_device(void*& pos) {
  pos = head_;
  return head_ ? head_->dev : nullptr;
}

device_base* device_manager::get_next_device(void*& pos) {
  if (!pos) return get_first_device(pos);
  node* n = static_cast<node*>(pos)->next;
  pos = n;
  return n ? n->dev : nullptr;
}

device_base* device_manager::get_device_by_position(void* pos) {
  return pos ? static_cast<node*>(pos)->dev : nullptr;
}

int device_manager::destroy_removed_deviced() {
  bool again = true;
  while (again) {
    again = false;
    node* prev = nullptr;
    for (node* n = head_; n; prev = n, n = n->next) {
      if (n->dev->get_dev_state() != DEV_STATE_REMOVED) continue;
      if (prev)
        prev->next = n->next;
      else
        head_ = n->next;
      if (tail_ == n) tail_ = prev;
      delete n->dev;
      delete n;
      again = true;  // restart from the head
      break;
    }
  }
  return 0;
}

void device_manager::clear_devices() {
  node* n = head_;
  head_ = tail_ = nullptr;
  while (n) {
    node* next = n->next;
    n->dev->close();
    delete n->dev;
    delete n;
    n = next;
  }
  name_count_ = 0;
}

namespace {
device_manager& the_manager() {
  static device_manager m;
  return m;
}
// Constructed when the library is loaded.
[[maybe_unused]] device_manager* const g_manager_at_load = &the_manager();
}  // namespace

device_manager* os_selector::get_device_discover() { return &the_manager(); }
