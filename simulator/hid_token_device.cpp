#include "hid_token_device.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "usb_descriptors.h"

namespace vtok {

using namespace rx::plat;

namespace {
constexpr uint8_t rt_class_interface_out = 0x21;
constexpr uint8_t rt_class_interface_in = 0xA1;
constexpr uint8_t hid_get_report = 0x01;
constexpr uint8_t hid_set_report = 0x09;
constexpr size_t max_raw_kept = 16;
constexpr uint16_t header_length_too_big_value = 1077;
// Raw report: command block in bytes 0-15, data length in 16-17, data from 20.
constexpr size_t raw_block_size = 16;
constexpr size_t raw_data_offset = 20;
constexpr size_t raw_data_capacity = hidf::report_size - raw_data_offset;  // 44
}  // namespace

hid_token_device::hid_token_device(uint16_t vid, uint16_t pid, bool with_storage)
    : vid_(vid), pid_(pid), with_storage_(with_storage) {}

usb_device_descriptor hid_token_device::device_descriptor() const {
  return make_device_descriptor(vid_, pid_);
}

usb_config_descriptor hid_token_device::config_descriptor() const {
  return with_storage_ ? hid_storage_token_config() : hid_token_config();
}

void hid_token_device::power_cycle() {
  if (!frame_.empty()) OPENSSL_cleanse(frame_.data(), frame_.size());
  frame_.clear();
  in_frame_ = false;
  frame_too_long_ = false;
  in_queue_.clear();
  response_queued_ = false;
  chain_open_ = false;
  raw_.clear();
}

int hid_token_device::interrupt_out(device_context& ctx, uint8_t endpoint, const uint8_t* data,
                                    int length, int* transferred) {
  if (transferred) *transferred = 0;
  if (endpoint != hid_out_endpoint) return USB_ERROR_NOT_FOUND;
  if (length < 0 || (length > 0 && !data)) return USB_ERROR_INVALID_PARAM;
  int done = 0;
  // A transfer longer than one report goes as consecutive 64-byte packets;
  // a short one is a short (zero-padded) report.
  while (done < length) {
    hidf::report r{};
    const int chunk = std::min<int>(static_cast<int>(hidf::report_size), length - done);
    std::memcpy(r.data(), data + done, static_cast<size_t>(chunk));
    const int rc = take_report(ctx, r.data());
    if (rc != USB_SUCCESS) return rc;
    done += chunk;
    ++ctx.core.stats.reports_out;
  }
  if (transferred) *transferred = done;
  return USB_SUCCESS;
}

int hid_token_device::interrupt_in(device_context& ctx, uint8_t endpoint, uint8_t* data, int length,
                                   int* transferred) {
  if (transferred) *transferred = 0;
  if (endpoint != hid_in_endpoint) return USB_ERROR_NOT_FOUND;
  if (!data || length <= 0) return USB_ERROR_INVALID_PARAM;
  if (ctx.core.faults.take(fault_kind::read_timeout)) return USB_ERROR_TIMEOUT;
  if (in_queue_.empty()) return USB_ERROR_TIMEOUT;
  if (length < static_cast<int>(hidf::report_size)) return USB_ERROR_OVERFLOW;
  const int rc = give_report(ctx, data);
  if (rc == USB_SUCCESS && transferred) *transferred = static_cast<int>(hidf::report_size);
  if (rc == USB_SUCCESS) ++ctx.core.stats.reports_in;
  return rc;
}

int hid_token_device::control_transfer(device_context& ctx, uint8_t request_type, uint8_t request,
                                       uint16_t value, uint16_t index, uint8_t* data,
                                       uint16_t length) {
  (void)value;
  if (index != 0) return USB_ERROR_PIPE;
  if (request_type == rt_class_interface_out && request == hid_set_report) {
    if (!data || length == 0 || length > hidf::report_size) return USB_ERROR_PIPE;
    hidf::report r{};
    std::memcpy(r.data(), data, length);
    const int rc = take_report(ctx, r.data());
    if (rc != USB_SUCCESS) return rc;
    ++ctx.core.stats.control_out;
    return length;
  }
  if (request_type == rt_class_interface_in && request == hid_get_report) {
    if (!data || length < hidf::report_size) return USB_ERROR_OVERFLOW;
    if (ctx.core.faults.take(fault_kind::read_timeout)) return USB_ERROR_TIMEOUT;
    if (in_queue_.empty()) {
      // GET_REPORT is always answered: with nothing to say the token
      // returns an empty report (no payload, no flags).
      std::memset(data, 0, hidf::report_size);
    } else {
      const int rc = give_report(ctx, data);
      if (rc != USB_SUCCESS) return rc;
    }
    ++ctx.core.stats.control_in;
    return static_cast<int>(hidf::report_size);
  }
  return USB_ERROR_PIPE;
}

int hid_token_device::give_report(device_context& ctx, uint8_t* out) {
  const hidf::report r = in_queue_.front();
  in_queue_.pop_front();
  std::memcpy(out, r.data(), r.size());
  if (in_queue_.empty() && response_queued_) {
    response_queued_ = false;
    ctx.core.detector.end(interleave_detector::unit::frame, response_client_);
  }
  return USB_SUCCESS;
}

void hid_token_device::drop_partial_frame(device_context& ctx) {
  if (!in_frame_) return;
  if (!frame_.empty()) OPENSSL_cleanse(frame_.data(), frame_.size());
  frame_.clear();
  in_frame_ = false;
  frame_too_long_ = false;
  ctx.core.detector.end(interleave_detector::unit::frame, frame_client_);
}

void hid_token_device::drop_queued_response(device_context& ctx) {
  in_queue_.clear();
  if (response_queued_) {
    response_queued_ = false;
    ctx.core.detector.end(interleave_detector::unit::frame, response_client_);
  }
}

int hid_token_device::take_report(device_context& ctx, const uint8_t* r) {
  const uint8_t flags = r[0];
  const size_t plen = flags & hidf::length_mask;
  const uint8_t* payload = r + 1;
  const bool first = (flags & hidf::flag_first) != 0;
  const bool last = (flags & hidf::flag_last) != 0;
  const bool starts_frame = first && plen >= 2 && payload[0] == 0xFE && payload[1] == 0x01;

  if (starts_frame) {
    drop_partial_frame(ctx);
    drop_queued_response(ctx);
    in_frame_ = true;
    frame_too_long_ = false;
    frame_client_ = ctx.client;
    frame_.assign(payload, payload + plen);
    ctx.core.detector.begin(interleave_detector::unit::frame, ctx.client);
  } else if (in_frame_ && !first) {
    if (ctx.core.faults.take(fault_kind::no_device_mid_frame)) {
      drop_partial_frame(ctx);
      return USB_ERROR_NO_DEVICE;
    }
    if (frame_.size() + plen > hidf::max_request_frame) {
      frame_too_long_ = true;  // keep taking reports until the last one, then answer 6700
    } else {
      frame_.insert(frame_.end(), payload, payload + plen);
    }
  } else {
    // A raw vendor command (or a stray report): the partial frame, if any,
    // is abandoned.
    drop_partial_frame(ctx);
    hidf::report copy{};
    std::memcpy(copy.data(), r, copy.size());
    if (raw_.size() >= max_raw_kept) raw_.pop_front();
    raw_.push_back(copy);
    transfer_entry e;
    e.time_ms = ctx.core.clock->now_ms();
    e.client = ctx.client;
    e.what = transfer_entry::kind::raw_command;
    e.bytes.assign(copy.begin(), copy.end());
    ctx.core.record.add(std::move(e));
    answer_raw(ctx, copy);
    return USB_SUCCESS;
  }
  if (last) complete_frame(ctx);
  return USB_SUCCESS;
}

void hid_token_device::answer_raw(device_context& ctx, const hidf::report& r) {
  raw_command cmd;
  std::copy(r.begin(), r.begin() + raw_block_size, cmd.block.begin());
  cmd.declared_length = static_cast<size_t>(r[16]) | (static_cast<size_t>(r[17]) << 8);
  cmd.client = ctx.client;
  const size_t arrived = std::min(cmd.declared_length, raw_data_capacity);
  cmd.data.assign(r.begin() + raw_data_offset, r.begin() + raw_data_offset + arrived);
  raw_answer a = ctx.core.os.process_raw(cmd);
  OPENSSL_cleanse(cmd.data.data(), cmd.data.size());
  if (!a) return;  // no command of the token
  // Like a new frame, a raw command discards an answer not yet read. One
  // raw report carries at most 44 bytes of answer.
  drop_queued_response(ctx);
  in_queue_.push_back(hidf::build_raw_response(a->data(), std::min(a->size(), raw_data_capacity)));
  OPENSSL_cleanse(a->data(), a->size());
}

void hid_token_device::complete_frame(device_context& ctx) {
  token_core& core = ctx.core;
  in_frame_ = false;
  const uint8_t* cmd = nullptr;
  size_t n = 0;
  std::vector<uint8_t> answer;
  if (frame_too_long_ || !hidf::parse_request_frame(frame_, &cmd, &n)) {
    answer = {static_cast<uint8_t>(sw::wrong_length >> 8), static_cast<uint8_t>(sw::wrong_length)};
  } else {
    ++core.stats.apdus;
    uint16_t forced = 0;
    bool used_challenge = false;
    if (n >= 2 && core.faults.take_force_sw(cmd[1], &forced)) {
      answer = {static_cast<uint8_t>(forced >> 8), static_cast<uint8_t>(forced & 0xFF)};
    } else {
      answer = core.os.process(cmd, n, ctx.client);
      const apdu_outcome& o = core.os.last_outcome();
      used_challenge = o.challenge_used;
      using step = apdu_outcome::chain_step;
      if (o.chain == step::part_accepted && !chain_open_) {
        chain_open_ = true;
        chain_client_ = ctx.client;
        core.detector.begin(interleave_detector::unit::chain, ctx.client);
      } else if ((o.chain == step::completed || o.chain == step::aborted) && chain_open_) {
        chain_open_ = false;
        core.detector.end(interleave_detector::unit::chain, chain_client_);
      }
      interleave_detector::event ev{};
      if (core.detector.command_done(ctx.client, used_challenge, &ev)) core.note_interleave(ev);
      if (o.challenge_issued) core.detector.begin(interleave_detector::unit::challenge, ctx.client);
    }
    if (answer.size() > hidf::max_response_data) {
      // More than one response frame can carry.
      answer = {static_cast<uint8_t>(sw::wrong_length >> 8),
                static_cast<uint8_t>(sw::wrong_length)};
    }
  }
  if (!frame_.empty()) OPENSSL_cleanse(frame_.data(), frame_.size());
  frame_.clear();
  queue_response(ctx, std::move(answer));
}

void hid_token_device::queue_response(device_context& ctx, std::vector<uint8_t> data_sw) {
  token_core& core = ctx.core;
  if (core.faults.take(fault_kind::drop_response)) {
    core.detector.end(interleave_detector::unit::frame, frame_client_);
    return;
  }
  std::vector<uint8_t> f = hidf::build_response_frame(data_sw);
  OPENSSL_cleanse(data_sw.data(), data_sw.size());
  fault_spec armed;
  if (core.faults.take(fault_kind::bad_signature)) {
    f[0] = 0x55;
    f[1] = 0x55;
  }
  if (core.faults.take(fault_kind::header_length_too_big)) {
    f[2] = header_length_too_big_value & 0xFF;
    f[3] = header_length_too_big_value >> 8;
  }
  if (core.faults.take(fault_kind::bad_tag)) f[20] = hidf::tag + 1;
  if (core.faults.take(fault_kind::declared_length_long, &armed)) {
    const size_t extra = armed.param ? armed.param : 64;
    const size_t declared = std::min<size_t>(0xFFFF, f.size() - hidf::header_size + extra);
    f[21] = static_cast<uint8_t>(declared >> 8);
    f[22] = static_cast<uint8_t>(declared & 0xFF);
  }
  if (core.faults.take(fault_kind::empty_reports, &armed)) {
    const uint32_t count = std::min<uint32_t>(armed.param, 4096);
    for (uint32_t i = 0; i < count; ++i) in_queue_.push_back(hidf::report{});
  }
  for (const auto& r : hidf::cut_into_reports(f)) in_queue_.push_back(r);
  OPENSSL_cleanse(f.data(), f.size());
  response_queued_ = true;
  response_client_ = frame_client_;
}

}  // namespace vtok
