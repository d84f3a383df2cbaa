// The token side of the HID message frame and report formats.
//
// Request frame: FE 01 | 00 00 | 12 x 00 | n+3 (LE16) | 00 00 | 12 | n (BE16) | n command bytes,
// n <= 1133. Response frame: AA 00 | m+3 (LE16) | 16 x 00 | 12 | m (BE16) | m bytes (data, SW1, SW2),
// with m + 3 <= 1076. Reports: byte 0 = payload length (bits 0-5), 0x40 last,
// 0x80 first; 63 payload bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vtok {
namespace hidf {

constexpr size_t header_size = 23;
constexpr size_t max_command = 1133;
constexpr size_t max_request_frame = header_size + max_command;
constexpr size_t max_response_header_length = 1076;     // value of bytes 2-3
constexpr size_t max_response_data = max_response_header_length - 3;  // data + SW
constexpr size_t report_size = 64;
constexpr size_t report_payload = 63;
constexpr uint8_t flag_first = 0x80;
constexpr uint8_t flag_last = 0x40;
constexpr uint8_t length_mask = 0x3F;
constexpr uint8_t tag = 0x12;
constexpr uint8_t response_signature = 0xAA;

using report = std::array<uint8_t, report_size>;

// Checks a reassembled request frame; on success *cmd/*n point at the
// command bytes inside it.
bool parse_request_frame(const std::vector<uint8_t>& frame, const uint8_t** cmd, size_t* n);

// Builds a response frame around data+SW (the caller keeps m within
// max_response_data).
std::vector<uint8_t> build_response_frame(const std::vector<uint8_t>& data_sw);

// Cuts a frame into 63-byte report payloads: first flag on the first report,
// last flag on the report that carries the final byte.
std::vector<report> cut_into_reports(const std::vector<uint8_t>& frame);

// Where a raw response's data starts in its report.
constexpr size_t raw_response_data_offset = 20;

// A raw (vendor pass-through) response: one report, AA in byte 0, LE length
// in bytes 2-3, data from byte 20 (at most 44 bytes: longer data is cut).
report build_raw_response(const uint8_t* data, size_t n);

}  // namespace hidf
}  // namespace vtok
