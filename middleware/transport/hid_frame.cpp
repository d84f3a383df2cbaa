#include "transport/hid_frame.h"

#include <cstring>

namespace rx {
namespace hid {

int build_request_frame(const uint8_t* cmd, int n, uint8_t* frame) {
  if (n < 0 || n > kMaxCommand || (n > 0 && !cmd)) return -1;
  std::memset(frame, 0, kFrameHeader);
  frame[0] = 0xFE;
  frame[1] = 0x01;
  frame[16] = static_cast<uint8_t>((n + 3) & 0xff);
  frame[17] = static_cast<uint8_t>(((n + 3) >> 8) & 0xff);
  frame[20] = 0x12;
  frame[21] = static_cast<uint8_t>((n >> 8) & 0xff);
  frame[22] = static_cast<uint8_t>(n & 0xff);
  if (n > 0) std::memcpy(frame + kFrameHeader, cmd, n);
  return kFrameHeader + n;
}

int parse_response_frame(const uint8_t* frame, int total, uint8_t* buf, int* len) {
  if (frame[0] != 0xAA && frame[1] != 0xAA) return RECV_NO_SIGNATURE;
  int header_len = frame[2] | (frame[3] << 8);
  if (header_len > kMaxHeaderLength) return RECV_HEADER_LENGTH;
  if (frame[20] != 0x12) return RECV_BAD_TAG;
  int data_len = (frame[21] << 8) | frame[22];
  int received = total - kFrameHeader;
  if (received < 0 || data_len > received) return RECV_DATA_LENGTH;
  if (!len || data_len > *len || (data_len > 0 && !buf)) return RECV_DATA_LENGTH;
  if (data_len > 0) std::memcpy(buf, frame + kFrameHeader, data_len);
  *len = data_len;
  return RECV_OK;
}

bool build_raw_report(const uint8_t* cdb, int cdb_len, const uint8_t* data, long len,
                      uint8_t* report) {
  if (len < 0 || len > kMaxRawSendData || (len > 0 && !data)) return false;
  std::memset(report, 0, kReportSize);
  if (cdb && cdb_len > 0) std::memcpy(report, cdb, cdb_len < 16 ? cdb_len : 16);
  report[16] = static_cast<uint8_t>(len & 0xff);
  report[17] = static_cast<uint8_t>((len >> 8) & 0xff);
  if (len > 0) std::memcpy(report + kRawDataOffset, data, static_cast<size_t>(len));
  return true;
}

int parse_raw_response(const uint8_t* report, uint8_t* buf, long* len) {
  if (report[0] != 0xAA && report[1] != 0xAA) return RAW_NO_SIGNATURE;
  long data_len = report[2] | (report[3] << 8);
  if (data_len > kMaxRawLength) return RAW_LENGTH;
  if (!buf || !len) return RAW_OK;  // consumed and discarded
  if (data_len > *len) return RAW_LENGTH;
  std::memcpy(buf, report + kRawDataOffset, data_len);
  *len = data_len;
  return RAW_OK;
}

}  // namespace hid
}  // namespace rx
