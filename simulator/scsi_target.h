// A SCSI target behind an sg node: a token's vendor command channel and
// sector store, or a plain disk that discovery has to skip.
//
// Commands (the CDB must be at least as long as its opcode group defines;
// longer CDBs are accepted and the extra bytes ignored, as USB mass-storage
// devices do):
//   INQUIRY (12)          standard data only (EVPD/page code must be 0)
//   TEST UNIT READY (00), REQUEST SENSE (03), READ CAPACITY(10) (25)
//   READ(10) (28), WRITE(10) (2A) on 2048-byte sectors
//   FE 01 "GMCAPIDFS" 00  vendor write: data-out 12 | n (BE16) | n APDU bytes
//   FE 02 "GMCAPIDFS" 00  vendor read:  data-in  12 | m (BE16) | m bytes (data, SW)
//   other opcodes C0-FF   vendor pass-through: the raw handler when one is
//                         set, else the card OS's raw commands (CDB as the
//                         16-byte block, data-out as the data; the answer is
//                         the data-in); no command of the token: CHECK CONDITION
// Anything else ends in CHECK CONDITION with fixed-format sense data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "apdu_runner.h"
#include "token_device.h"

namespace vtok {

namespace scsi {
constexpr uint8_t status_good = 0x00;
constexpr uint8_t status_check_condition = 0x02;

constexpr uint8_t sense_no_sense = 0x00;
constexpr uint8_t sense_not_ready = 0x02;
constexpr uint8_t sense_illegal_request = 0x05;
constexpr uint8_t sense_aborted_command = 0x0B;

constexpr uint8_t asc_invalid_opcode = 0x20;
constexpr uint8_t asc_lba_out_of_range = 0x21;
constexpr uint8_t asc_invalid_field_in_cdb = 0x24;
constexpr uint8_t asc_invalid_field_in_parameters = 0x26;
constexpr uint8_t asc_command_sequence_error = 0x2C;

constexpr size_t sector_size = 2048;
constexpr size_t fixed_sense_size = 18;
constexpr uint8_t frame_tag = 0x12;
constexpr uint8_t vendor_opcode = 0xFE;
constexpr uint8_t vendor_write = 0x01;
constexpr uint8_t vendor_read = 0x02;
constexpr size_t vendor_cdb_size = 12;
constexpr char vendor_signature[] = "GMCAPIDFS";  // CDB bytes 2-10

// Data transfer direction of one command (the kernel's SG_DXFER_* sense).
enum class direction { none, to_device, from_device };
}  // namespace scsi

struct scsi_command {
  std::vector<uint8_t> cdb;
  scsi::direction dir = scsi::direction::none;
  std::vector<uint8_t> data_out;  // to_device
  uint32_t data_in_len = 0;       // from_device: the initiator's buffer size
};

struct scsi_outcome {
  uint8_t status = scsi::status_good;
  std::vector<uint8_t> data_in;  // what the target delivered (at most data_in_len)
  std::vector<uint8_t> sense;    // with CHECK CONDITION
  bool resid_forced = false;     // fault sg_wrong_resid: report `resid` as is
  int32_t resid = 0;

  static scsi_outcome check(uint8_t key, uint8_t asc, uint8_t ascq = 0);
};

struct scsi_identity {
  uint8_t peripheral_type = 0x05;  // CD-ROM (a token's storage face)
  bool removable = true;
  std::string vendor = "RXTOKEN";          // 8 bytes, blank-padded
  std::string product = "RX7100 Token";    // 16 bytes, blank-padded
  std::string revision = "1.00";           // 4 bytes
};

class scsi_target {
 public:
  // Handles vendor opcodes other than FE ... GMCAPIDFS (pass-through
  // commands). `core` is null for a plain disk.
  using raw_handler = std::function<scsi_outcome(token_core* core, int client, const scsi_command&)>;

  // vendor_channel: the FE commands carry frames to a card OS (tokens).
  scsi_target(scsi_identity id, bool vendor_channel, size_t sectors = 64);

  const scsi_identity& identity() const { return id_; }
  // `core` is the token's (null for a plain disk, which then has no vendor
  // channel). Runs with the bus lock held.
  scsi_outcome execute(token_core* core, int client, const scsi_command& cmd);
  void set_raw_handler(raw_handler h) { raw_ = std::move(h); }
  // Unplug: the pending answer and the chain state go; the sectors stay.
  void power_cycle();

  bool response_pending() const { return pending_; }
  const std::vector<uint8_t>& sectors() const { return store_; }

 private:
  scsi_outcome inquiry(const scsi_command& c);
  scsi_outcome read_capacity(const scsi_command& c);
  scsi_outcome read10(const scsi_command& c);
  scsi_outcome write10(const scsi_command& c);
  scsi_outcome request_sense(const scsi_command& c);
  scsi_outcome vendor(token_core* core, int client, const scsi_command& c);
  scsi_outcome vendor_write_frame(token_core& core, int client, const scsi_command& c);
  scsi_outcome vendor_read_frame(token_core& core, int client, const scsi_command& c);
  scsi_outcome raw_through_card_os(token_core& core, int client, const scsi_command& c);

  scsi_identity id_;
  bool vendor_channel_;
  std::vector<uint8_t> store_;
  std::vector<uint8_t> last_sense_;
  raw_handler raw_;

  bool pending_ = false;
  int pending_client_ = 0;
  std::vector<uint8_t> response_;  // the response frame
  chain_tracker chain_;
};

}  // namespace vtok
