// Listing the tokens: naming each device in the device manager's list after
// the serial number in its short device information, the OEM filter, and
// the bounded name lists handed to callers. Runs under the process lock.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "skf_types.h"

namespace rx {
namespace skf {

// Bounded copies of the configuration data objects (a host may have
// written them without a terminator).
std::string device_criteria();
std::string oem_filter();

// A list of names, each followed by a NUL, in a buffer of fixed capacity.
// One byte is always kept free for the list's final NUL; a name that does
// not fit is not added.
class name_list {
 public:
  explicit name_list(size_t capacity) : buf_(capacity, '\0') {}

  // Appends the name and its NUL; false (nothing added) when it is empty
  // or does not fit.
  bool append(const char* name);
  // Adds the final NUL (which always fits).
  void terminate();

  const char* data() const { return buf_.data(); }
  size_t length() const { return len_; }

 private:
  std::vector<char> buf_;
  size_t len_ = 0;
};

// The 128 bytes of OEM information a listing reads.
constexpr size_t k_oem_info_size = 128;
// Whether `filter` accepts a token with this OEM information (`len` bytes,
// not necessarily terminated). A first byte 0xFF or an empty text means no
// OEM information: accepted. Filter "*" accepts everything; otherwise the
// text must equal one of the first 5 comma-separated entries of the filter
// (each cut to 31 characters).
bool oem_accepted(const unsigned char* oem, size_t len, const char* filter);

// Lists the devices of the device manager in state `state` (3: any) that
// open, pass the OEM filter and answer their short device information:
// each gets its serial number as its name, and the name goes into `out`.
// Devices the filter refuses are closed and deleted from the device
// manager (together with any records already in the removed state, so
// callers that report removals collect those names first). A device whose
// serial number is empty gets no name and is not listed (an empty name
// would end the list early). Returns out.length().
size_t list_tokens(int state, name_list& out);

}  // namespace skf
}  // namespace rx
