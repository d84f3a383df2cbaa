#include "transport/device_discover.h"

#include <cstring>
#include <string>
#include <vector>

const char kRxDefaultDeviceCriteria[] =
    "rx7100,vid_7e3b&pid_db08|vid_7e3b&pid_e618|vid_7e3b&pid_f603,vid_7e3b&pid_e618|vid_7e3b&pid_f603";

int device_discover::discover_devices(const char*, char (*)[kNameLen], int) { return -1; }
int device_discover::enum_and_create_devices(const char*) { return -1; }
int device_discover::update_devices(int*, int*, const char*) { return 0; }
device_base* device_discover::get_device(int) { return nullptr; }
int device_discover::get_device_number() { return -1; }
device_base* device_discover::get_first_device(void*&) { return nullptr; }
device_base* device_discover::get_next_device(void*&) { return nullptr; }
device_base* device_discover::get_device_by_position(void*) { return nullptr; }
int device_discover::destroy_removed_deviced() { return 0; }
device_base* device_discover::add_new_device(const char*, void*) { return nullptr; }
int device_discover::delete_device(void*) { return 0; }

void device_discover::ltrim(char* s) {
  if (!s) return;
  size_t i = 0;
  while (s[i] == ' ' || s[i] == '\t') ++i;
  if (i) std::memmove(s, s + i, std::strlen(s + i) + 1);
}

namespace {
// strtok-like tokenising without strtok's hidden state: runs of separators
// count as one, empty tokens vanish.
std::vector<std::string> tokens(const char* s, size_t max_chars, char sep) {
  std::vector<std::string> out;
  if (!s) return out;
  std::string work(s, strnlen(s, max_chars));
  size_t i = 0;
  while (i < work.size()) {
    while (i < work.size() && work[i] == sep) ++i;
    if (i >= work.size()) break;
    size_t j = work.find(sep, i);
    if (j == std::string::npos) j = work.size();
    out.push_back(work.substr(i, j - i));
    i = j;
  }
  return out;
}

void copy_bounded(char* dst, const std::string& src, size_t size) {
  size_t n = src.size() < size - 1 ? src.size() : size - 1;
  std::memcpy(dst, src.data(), n);
  dst[n] = 0;
}
}  // namespace

int device_discover::split_hid_strings(const char* field, char (*out)[kNameLen], int max_entries) {
  std::vector<std::string> t = tokens(field, kCriteriaMax, '|');
  int n = 0;
  for (const std::string& e : t) {
    if (n >= max_entries) break;
    copy_bounded(out[n], e, kNameLen);
    ++n;
  }
  return n;
}

int device_discover::split_enum_strings(const char* criteria, char* f1, char* f2, char* f3) {
  std::vector<std::string> t = tokens(criteria, kCriteriaMax, ',');
  if (t.empty()) return 1;
  copy_bounded(f1, t[0], kNameLen);
  if (t.size() < 2) return 2;
  copy_bounded(f2, t[1], kNameLen);
  if (t.size() >= 3) {
    copy_bounded(f3, t[2], kCriteriaMax);
    ltrim(f1);
    ltrim(f2);
    ltrim(f3);
  }
  return 0;
}
