// The HID token device model: 64-byte reports on interrupt endpoints
// 0x01 (OUT) and 0x81 (IN), or the same reports through HID class
// SET_REPORT / GET_REPORT control requests.
//
// OUT reports are reassembled into request frames. A report starts a frame
// only when its first flag is set and its payload begins FE 01; a report
// without the first flag continues the frame in progress; anything else is a
// raw vendor command, which is recorded and handed to the card OS; a block
// the card OS knows is answered with one raw response report. A
// complete frame that fails the header checks is answered with a response
// frame carrying SW 6700. A good frame's command runs through the card OS
// and its response frame is queued as IN reports. A new frame discards any
// response not yet read.
#pragma once

#include <deque>
#include <vector>

#include "hid_frame.h"
#include "token_device.h"

namespace vtok {

class hid_token_device : public token_device {
 public:
  // with_storage: the configuration also has a mass-storage interface
  // (the layout hosts drive through control requests).
  hid_token_device(uint16_t vid, uint16_t pid, bool with_storage = false);

  rx::plat::usb_device_descriptor device_descriptor() const override;
  rx::plat::usb_config_descriptor config_descriptor() const override;
  int interrupt_out(device_context& ctx, uint8_t endpoint, const uint8_t* data, int length,
                    int* transferred) override;
  int interrupt_in(device_context& ctx, uint8_t endpoint, uint8_t* data, int length,
                   int* transferred) override;
  int control_transfer(device_context& ctx, uint8_t request_type, uint8_t request, uint16_t value,
                       uint16_t index, uint8_t* data, uint16_t length) override;
  void power_cycle() override;

  // Raw reports taken in since the last power cycle (at most 16 kept).
  const std::deque<hidf::report>& raw_commands() const { return raw_; }
  size_t pending_reports() const { return in_queue_.size(); }

 private:
  int take_report(device_context& ctx, const uint8_t* r);
  int give_report(device_context& ctx, uint8_t* out);
  void complete_frame(device_context& ctx);
  void drop_partial_frame(device_context& ctx);
  void drop_queued_response(device_context& ctx);
  void queue_response(device_context& ctx, std::vector<uint8_t> data_sw);
  void answer_raw(device_context& ctx, const hidf::report& r);

  uint16_t vid_, pid_;
  bool with_storage_;

  bool in_frame_ = false;
  bool frame_too_long_ = false;
  int frame_client_ = 0;
  std::vector<uint8_t> frame_;

  std::deque<hidf::report> in_queue_;
  bool response_queued_ = false;  // in_queue_ ends with a response frame
  int response_client_ = 0;

  bool chain_open_ = false;
  int chain_client_ = 0;

  std::deque<hidf::report> raw_;
};

}  // namespace vtok
