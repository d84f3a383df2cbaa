#include "hid_frame.h"

#include <algorithm>
#include <cstring>

namespace vtok {
namespace hidf {

bool parse_request_frame(const std::vector<uint8_t>& f, const uint8_t** cmd, size_t* n) {
  if (f.size() < header_size || f.size() > max_request_frame) return false;
  if (f[0] != 0xFE || f[1] != 0x01) return false;
  for (size_t i = 2; i < 16; ++i)
    if (f[i] != 0) return false;
  if (f[18] != 0 || f[19] != 0 || f[20] != tag) return false;
  const size_t len = (static_cast<size_t>(f[21]) << 8) | f[22];
  const size_t le_len = static_cast<size_t>(f[16]) | (static_cast<size_t>(f[17]) << 8);
  if (len > max_command || le_len != len + 3 || f.size() != header_size + len) return false;
  *cmd = f.data() + header_size;
  *n = len;
  return true;
}

std::vector<uint8_t> build_response_frame(const std::vector<uint8_t>& data_sw) {
  const size_t m = data_sw.size();
  std::vector<uint8_t> f(header_size + m, 0);
  f[0] = response_signature;
  f[2] = static_cast<uint8_t>((m + 3) & 0xFF);
  f[3] = static_cast<uint8_t>(((m + 3) >> 8) & 0xFF);
  f[20] = tag;
  f[21] = static_cast<uint8_t>((m >> 8) & 0xFF);
  f[22] = static_cast<uint8_t>(m & 0xFF);
  if (m) std::memcpy(f.data() + header_size, data_sw.data(), m);
  return f;
}

std::vector<report> cut_into_reports(const std::vector<uint8_t>& frame) {
  std::vector<report> out;
  size_t off = 0;
  do {
    const size_t chunk = std::min(report_payload, frame.size() - off);
    report r{};
    r[0] = static_cast<uint8_t>(chunk);
    if (off == 0) r[0] |= flag_first;
    if (off + chunk == frame.size()) r[0] |= flag_last;
    std::copy(frame.begin() + static_cast<std::ptrdiff_t>(off),
              frame.begin() + static_cast<std::ptrdiff_t>(off + chunk), r.begin() + 1);
    out.push_back(r);
    off += chunk;
  } while (off < frame.size());
  return out;
}

report build_raw_response(const uint8_t* data, size_t n) {
  report r{};
  // The data starts at byte 20, so a 64-byte report has room for 44 bytes.
  n = std::min<size_t>(n, report_size - raw_response_data_offset);
  r[0] = response_signature;
  r[2] = static_cast<uint8_t>(n & 0xFF);
  r[3] = static_cast<uint8_t>(n >> 8);
  if (data && n) std::copy(data, data + n, r.begin() + raw_response_data_offset);
  return r;
}

}  // namespace hidf
}  // namespace vtok
