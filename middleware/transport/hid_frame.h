// The message frame and the raw report of the HID transports,
// shared by linux_device_hid and the HID control-channel transport.
#pragma once

#include <cstdint>

namespace rx {
namespace hid {

constexpr int kReportSize = 64;      // one interrupt transfer / control data stage
constexpr int kChunk = 63;           // payload bytes per report
constexpr int kFrameHeader = 23;     // request and response frame header
constexpr int kMaxCommand = 1133;    // longest command a request frame carries
constexpr int kMaxFrame = 2048;      // reassembled response frame
constexpr int kMaxHeaderLength = 1076;
constexpr int kMaxRawLength = 48;    // raw response data length limit
constexpr int kRawDataOffset = 20;
constexpr int kMaxRawSendData = kReportSize - kRawDataOffset;  // 44 data bytes in one raw report

// Report byte 0.
constexpr uint8_t kFlagFirst = 0x80;
constexpr uint8_t kFlagLast = 0x40;
constexpr uint8_t kLengthMask = 0x3f;

// Results of receive_data (device_base::receive_data of the HID transports).
enum recv_result {
  RECV_OK = 0,
  RECV_READ_FAILED = 1,     // no handle, a report read failed, the frame overran
                            // 2048 bytes, or the reassembly deadline passed
  RECV_NO_SIGNATURE = 2,    // 0xAA in neither byte 0 nor byte 1
  RECV_HEADER_LENGTH = 3,   // little-endian length in bytes 2-3 above 1076
  RECV_BAD_TAG = 4,         // byte 20 is not 0x12
  RECV_DATA_LENGTH = 5,     // declared data length (bytes 21-22) above the bytes
                            // received after the header, or above the capacity
};

// Results of receive_raw_data (docs/hid-raw-response.md).
enum raw_result {
  RAW_OK = 0,
  RAW_READ_FAILED = 1,
  RAW_NO_SIGNATURE = 2,
  RAW_LENGTH = 3,
};

// Writes the request frame of `cmd` (n bytes) into `frame` (at least
// kFrameHeader + n bytes, zeroed by the function) and returns its length,
// or -1 when n is negative or above kMaxCommand.
int build_request_frame(const uint8_t* cmd, int n, uint8_t* frame);

// Checks a reassembled response frame of `total` bytes (the buffer zero-filled
// to at least kFrameHeader bytes) and copies its data to `buf`, whose capacity
// is *len on entry; *len gets the data length. A recv_result.
int parse_response_frame(const uint8_t* frame, int total, uint8_t* buf, int* len);

// Fills `report` (kReportSize bytes, zeroed by the function) with the raw
// report: the command block (at most 16 bytes, zero-padded), the data length
// little-endian in bytes 16-17, the data from byte 20. False, and nothing
// built, when the data does not fit the one report (more than
// kMaxRawSendData bytes), the length is negative or the data is missing:
// the length field must never announce bytes that are not sent.
bool build_raw_report(const uint8_t* cdb, int cdb_len, const uint8_t* data, long len,
                      uint8_t* report);

// Checks a raw response `report` (a zero-filled buffer of at least
// kRawDataOffset + kMaxRawLength bytes whose first 64 bytes hold the report)
// and copies its data when `buf` and `len` are given (capacity *len). A
// raw_result.
int parse_raw_response(const uint8_t* report, uint8_t* buf, long* len);

}  // namespace hid
}  // namespace rx
