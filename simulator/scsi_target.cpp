#include "scsi_target.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

namespace vtok {

using scsi::direction;

namespace {
constexpr uint8_t op_test_unit_ready = 0x00;
constexpr uint8_t op_request_sense = 0x03;
constexpr uint8_t op_inquiry = 0x12;
constexpr uint8_t op_read_capacity10 = 0x25;
constexpr uint8_t op_read10 = 0x28;
constexpr uint8_t op_write10 = 0x2A;
constexpr uint8_t first_vendor_opcode = 0xC0;
constexpr size_t inquiry_size = 36;
constexpr size_t max_frame_data = 0xFFFF;  // the frame's BE16 length field

// The CDB length an opcode's group defines; 0 for the vendor-specific
// groups, whose commands this target defines as 12 bytes.
size_t group_length(uint8_t op) {
  switch (op >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 12;
  }
}

void put_padded(uint8_t* out, const std::string& s, size_t n) {
  std::memset(out, ' ', n);
  std::memcpy(out, s.data(), std::min(n, s.size()));
}

uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
}  // namespace

scsi_outcome scsi_outcome::check(uint8_t key, uint8_t asc, uint8_t ascq) {
  scsi_outcome o;
  o.status = scsi::status_check_condition;
  o.sense.assign(scsi::fixed_sense_size, 0);
  o.sense[0] = 0x70;  // current error, fixed format
  o.sense[2] = key;
  o.sense[7] = static_cast<uint8_t>(scsi::fixed_sense_size - 8);
  o.sense[12] = asc;
  o.sense[13] = ascq;
  return o;
}

scsi_target::scsi_target(scsi_identity id, bool vendor_channel, size_t sectors)
    : id_(std::move(id)), vendor_channel_(vendor_channel), store_(sectors * scsi::sector_size, 0) {}

void scsi_target::power_cycle() {
  if (!response_.empty()) OPENSSL_cleanse(response_.data(), response_.size());
  response_.clear();
  pending_ = false;
  chain_ = chain_tracker{};
  last_sense_.clear();
}

scsi_outcome scsi_target::execute(token_core* core, int client, const scsi_command& c) {
  scsi_outcome o;
  if (c.cdb.empty() || c.cdb.size() < group_length(c.cdb[0])) {
    o = scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_field_in_cdb);
  } else {
    switch (c.cdb[0]) {
      case op_test_unit_ready: break;
      case op_request_sense: o = request_sense(c); break;
      case op_inquiry: o = inquiry(c); break;
      case op_read_capacity10: o = read_capacity(c); break;
      case op_read10: o = read10(c); break;
      case op_write10: o = write10(c); break;
      default:
        if (c.cdb[0] == scsi::vendor_opcode && vendor_channel_ && core)
          o = vendor(core, client, c);
        else if (c.cdb[0] >= first_vendor_opcode && raw_)
          o = raw_(core, client, c);
        else if (c.cdb[0] >= first_vendor_opcode && core && vendor_channel_)
          o = raw_through_card_os(*core, client, c);
        else
          o = scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_opcode);
    }
  }
  if (c.dir != direction::from_device) o.data_in.clear();
  if (o.data_in.size() > c.data_in_len) o.data_in.resize(c.data_in_len);
  if (c.cdb.empty() || c.cdb[0] != op_request_sense) last_sense_ = o.sense;
  return o;
}

scsi_outcome scsi_target::request_sense(const scsi_command& c) {
  scsi_outcome o;
  if (last_sense_.empty()) {
    o.data_in = scsi_outcome::check(scsi::sense_no_sense, 0).sense;
  } else {
    o.data_in = last_sense_;
  }
  o.data_in.resize(std::min<size_t>(o.data_in.size(), c.cdb[4]));
  last_sense_.clear();
  return o;
}

scsi_outcome scsi_target::inquiry(const scsi_command& c) {
  // EVPD, CmdDt and the page code: only the standard data is offered.
  if ((c.cdb[1] & 0x03) != 0 || c.cdb[2] != 0)
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_field_in_cdb);
  if (c.dir != direction::from_device)
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_field_in_cdb);
  const size_t allocation = (static_cast<size_t>(c.cdb[3]) << 8) | c.cdb[4];
  std::vector<uint8_t> d(inquiry_size, 0);
  d[0] = id_.peripheral_type & 0x1F;
  d[1] = id_.removable ? 0x80 : 0x00;
  d[2] = 0x05;  // SPC-3
  d[3] = 0x02;  // response data format
  d[4] = static_cast<uint8_t>(inquiry_size - 5);
  put_padded(&d[8], id_.vendor, 8);
  put_padded(&d[16], id_.product, 16);
  put_padded(&d[32], id_.revision, 4);
  d.resize(std::min(d.size(), allocation));
  scsi_outcome o;
  o.data_in = std::move(d);
  return o;
}

scsi_outcome scsi_target::read_capacity(const scsi_command& c) {
  if (c.dir != direction::from_device)
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_field_in_cdb);
  const uint32_t last = static_cast<uint32_t>(store_.size() / scsi::sector_size) - 1;
  scsi_outcome o;
  o.data_in = {static_cast<uint8_t>(last >> 24), static_cast<uint8_t>(last >> 16),
               static_cast<uint8_t>(last >> 8),  static_cast<uint8_t>(last),
               0x00, 0x00, static_cast<uint8_t>(scsi::sector_size >> 8),
               static_cast<uint8_t>(scsi::sector_size & 0xFF)};
  return o;
}

scsi_outcome scsi_target::read10(const scsi_command& c) {
  const uint64_t lba = be32(&c.cdb[2]);
  const uint64_t count = (static_cast<uint64_t>(c.cdb[7]) << 8) | c.cdb[8];
  const uint64_t sectors = store_.size() / scsi::sector_size;
  if (lba + count > sectors)
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_lba_out_of_range);
  if (count > 0 && c.dir != direction::from_device)
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_field_in_cdb);
  const size_t off = static_cast<size_t>(lba * scsi::sector_size);
  const size_t n = std::min<size_t>(static_cast<size_t>(count * scsi::sector_size), c.data_in_len);
  scsi_outcome o;
  o.data_in.assign(store_.begin() + static_cast<long>(off), store_.begin() + static_cast<long>(off + n));
  return o;
}

scsi_outcome scsi_target::write10(const scsi_command& c) {
  const uint64_t lba = be32(&c.cdb[2]);
  const uint64_t count = (static_cast<uint64_t>(c.cdb[7]) << 8) | c.cdb[8];
  const uint64_t sectors = store_.size() / scsi::sector_size;
  if (lba + count > sectors)
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_lba_out_of_range);
  const size_t n = static_cast<size_t>(count * scsi::sector_size);
  if (n > 0 && (c.dir != direction::to_device || c.data_out.size() < n))
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_field_in_cdb);
  std::copy(c.data_out.begin(), c.data_out.begin() + static_cast<long>(n),
            store_.begin() + static_cast<long>(lba * scsi::sector_size));
  return scsi_outcome{};
}

scsi_outcome scsi_target::vendor(token_core* core, int client, const scsi_command& c) {
  const size_t sig_len = sizeof(scsi::vendor_signature) - 1;
  const bool signed_ok = std::memcmp(&c.cdb[2], scsi::vendor_signature, sig_len) == 0 && c.cdb[11] == 0;
  if (signed_ok && c.cdb[1] == scsi::vendor_write) return vendor_write_frame(*core, client, c);
  if (signed_ok && c.cdb[1] == scsi::vendor_read) return vendor_read_frame(*core, client, c);
  if (raw_) return raw_(core, client, c);
  return raw_through_card_os(*core, client, c);
}

scsi_outcome scsi_target::raw_through_card_os(token_core& core, int client, const scsi_command& c) {
  raw_command cmd;
  std::copy(c.cdb.begin(), c.cdb.begin() + static_cast<long>(std::min(c.cdb.size(), cmd.block.size())),
            cmd.block.begin());
  if (c.dir == direction::to_device) cmd.data = c.data_out;
  cmd.declared_length = cmd.data.size();
  cmd.client = client;
  raw_answer a = core.os.process_raw(cmd);
  if (!cmd.data.empty()) OPENSSL_cleanse(cmd.data.data(), cmd.data.size());
  if (!a) return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_opcode);
  scsi_outcome o;
  // A command with a data-out phase has no data-in phase to answer in.
  if (c.dir == direction::from_device) o.data_in = *a;
  OPENSSL_cleanse(a->data(), a->size());
  return o;
}

scsi_outcome scsi_target::vendor_write_frame(token_core& core, int client, const scsi_command& c) {
  if (c.dir != direction::to_device)
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_field_in_cdb);
  if (core.faults.take(fault_kind::sg_check_on_write))
    return scsi_outcome::check(scsi::sense_aborted_command, 0);
  const std::vector<uint8_t>& f = c.data_out;
  if (f.size() < 3 || f[0] != scsi::frame_tag ||
      ((static_cast<size_t>(f[1]) << 8) | f[2]) != f.size() - 3)
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_field_in_parameters);

  // A new command discards an answer nobody read.
  if (pending_) {
    OPENSSL_cleanse(response_.data(), response_.size());
    pending_ = false;
    core.detector.end(interleave_detector::unit::frame, pending_client_);
  }
  core.detector.begin(interleave_detector::unit::frame, client);
  device_context ctx{core, client};
  std::vector<uint8_t> answer = run_command_apdu(ctx, chain_, f.data() + 3, f.size() - 3, max_frame_data);
  if (core.faults.take(fault_kind::drop_response)) {
    OPENSSL_cleanse(answer.data(), answer.size());
    core.detector.end(interleave_detector::unit::frame, client);
    return scsi_outcome{};
  }
  size_t declared = answer.size();
  fault_spec armed;
  if (core.faults.take(fault_kind::declared_length_long, &armed))
    declared = std::min<size_t>(max_frame_data, declared + (armed.param ? armed.param : 64));
  response_.assign(3 + answer.size(), 0);
  response_[0] = core.faults.take(fault_kind::bad_tag) ? scsi::frame_tag + 1 : scsi::frame_tag;
  response_[1] = static_cast<uint8_t>(declared >> 8);
  response_[2] = static_cast<uint8_t>(declared & 0xFF);
  std::copy(answer.begin(), answer.end(), response_.begin() + 3);
  OPENSSL_cleanse(answer.data(), answer.size());
  pending_ = true;
  pending_client_ = client;
  return scsi_outcome{};
}

scsi_outcome scsi_target::vendor_read_frame(token_core& core, int client, const scsi_command& c) {
  (void)client;
  if (c.dir != direction::from_device)
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_invalid_field_in_cdb);
  if (core.faults.take(fault_kind::sg_check_on_read))
    return scsi_outcome::check(scsi::sense_aborted_command, 0);
  if (!pending_)
    return scsi_outcome::check(scsi::sense_illegal_request, scsi::asc_command_sequence_error);
  scsi_outcome o;
  o.data_in = response_;
  fault_spec armed;
  if (core.faults.take(fault_kind::sg_short_frame, &armed))
    o.data_in.resize(std::min<size_t>(o.data_in.size(), armed.param ? armed.param : 4));
  if (core.faults.take(fault_kind::sg_wrong_resid, &armed)) {
    o.resid_forced = true;
    o.resid = static_cast<int32_t>(armed.param);
  }
  OPENSSL_cleanse(response_.data(), response_.size());
  response_.clear();
  pending_ = false;
  core.detector.end(interleave_detector::unit::frame, pending_client_);
  return o;
}

}  // namespace vtok
