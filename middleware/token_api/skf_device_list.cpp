#include "token_api/skf_device_list.h"

#include <cstring>

#include "rx7100_app.h"
#include "rx7100_cmd.h"
#include "skf.h"
#include "token_api/devinfo_convert.h"
#include "token_api/vk_utility.h"

extern "C" {
RX_EXPORT char g_szDeviceID[SKF_DEVICE_CRITERIA_SIZE] =
    "rx7100,vid_7e3b&pid_db08|vid_7e3b&pid_e618|vid_7e3b&pid_f603,"
    "vid_7e3b&pid_e618|vid_7e3b&pid_f603";
RX_EXPORT char g_szOEMID[SKF_OEM_FILTER_SIZE] = "*";
}

namespace rx {
namespace skf {

namespace {

constexpr size_t k_oem_entries_max = 5;
constexpr size_t k_oem_entry_size = 32;  // 31 characters and a NUL
constexpr size_t k_filter_text_max = 1024;

std::string bounded(const char* text, size_t size) {
  return std::string(text, strnlen(text, size - 1));
}

}  // namespace

std::string device_criteria() { return bounded(g_szDeviceID, sizeof g_szDeviceID); }
std::string oem_filter() { return bounded(g_szOEMID, sizeof g_szOEMID); }

bool name_list::append(const char* name) {
  const size_t n = name ? std::strlen(name) : 0;
  // Room for the name, its NUL and the list's final NUL.
  if (n == 0 || n + 2 > buf_.size() - len_) return false;
  std::memcpy(buf_.data() + len_, name, n);
  buf_[len_ + n] = '\0';
  len_ += n + 1;
  return true;
}

void name_list::terminate() {
  if (len_ < buf_.size()) buf_[len_++] = '\0';
}

bool oem_accepted(const unsigned char* oem, size_t len, const char* filter) {
  char text[k_oem_info_size + 1] = {};
  const size_t n = len < k_oem_info_size ? len : k_oem_info_size;
  if (oem && n > 0 && oem[0] != 0xFF) std::memcpy(text, oem, n);
  if (text[0] == '\0') return true;
  if (!filter) return false;
  if (std::strcmp(filter, "*") == 0) return true;

  std::vector<vk_utility::split_entry> table(vk_utility::k_split_entries_max);
  const std::string f(filter, strnlen(filter, k_filter_text_max));
  const int count = vk_utility::split_strings(",", f.c_str(), table.data());
  for (int i = 0; i < count && static_cast<size_t>(i) < k_oem_entries_max; ++i) {
    char entry[k_oem_entry_size] = {};
    std::memcpy(entry, table[i], strnlen(table[i], k_oem_entry_size - 1));
    if (std::strcmp(text, entry) == 0) return true;
  }
  return false;
}

namespace {

// Opens the device and applies the OEM filter: true to go on listing it.
// A token whose OEM information cannot be read is accepted.
bool accepted_by_oem(void* h, const std::string& filter) {
  unsigned char oem[k_oem_info_size] = {};
  int len = sizeof oem;
  if (app_read_oem_info(h, 0, oem, &len) != RX_APP_OK) return true;
  if (len < 0 || static_cast<size_t>(len) > sizeof oem) len = sizeof oem;
  return oem_accepted(oem, static_cast<size_t>(len), filter.c_str());
}

}  // namespace

size_t list_tokens(int state, name_list& out) {
  // The handles first: deleting devices must not disturb the iteration.
  std::vector<void*> devices;
  void* h = nullptr;
  for (app_get_first_dev(&h, state); h; app_get_next_dev(&h, state)) devices.push_back(h);

  const std::string filter = oem_filter();
  bool refused_any = false;
  for (void* dev : devices) {
    if (app_connect_device(dev) != 0) continue;
    if (!accepted_by_oem(dev, filter)) {
      app_disconnect_device(dev);
      app_set_dev_state(dev, RX_DEV_STATE_REMOVED);
      refused_any = true;
      continue;
    }
    unsigned char info[k_short_devinfo_size] = {};
    if (app_get_dev_short_info(dev, info, sizeof info) != RX_APP_OK) continue;
    char name[2 * short_devinfo::text_size] = {};
    std::memcpy(name, info + short_devinfo::serial, short_devinfo::text_size);
    app_set_dev_name(dev, name);
    int type = 0;
    app_get_dev_type(dev, &type);
    out.append(name);
  }
  if (refused_any) app_destroy_removed_devs();
  return out.length();
}

}  // namespace skf
}  // namespace rx
