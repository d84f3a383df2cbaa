// Device models: what a plugged token looks like on the USB side (its
// descriptors and how it answers transfers). The HID model is in
// hid_token_device.h; the HID control-channel and SCSI models plug in
// behind the same interface.
//
// The bus calls a model with its lock held, so models need no locking of
// their own.
#pragma once

#include <cstdint>

#include "card_os.h"
#include "clock.h"
#include "faults.h"
#include "interleave_detector.h"
#include "transfer_record.h"
#include "transport/platform.h"

namespace vtok {

// Everything of a token that its device model works on.
struct token_core {
  explicit token_core(clock_source& c) : clock(&c) {}

  clock_source* clock;
  card_os os;
  fault_set faults;
  token_stats stats;
  transfer_record record;
  interleave_detector detector;

  // Counts an interrupted unit and adds an interleave entry to the record.
  void note_interleave(const interleave_detector::event& ev);
};

// The context of one transfer.
struct device_context {
  token_core& core;
  int client;
};

class token_device {
 public:
  virtual ~token_device() = default;

  virtual rx::plat::usb_device_descriptor device_descriptor() const = 0;
  virtual rx::plat::usb_config_descriptor config_descriptor() const = 0;

  // libusb semantics: 0 or a negative rx::plat::usb_error; *transferred
  // receives the byte count.
  virtual int interrupt_out(device_context& ctx, uint8_t endpoint, const uint8_t* data, int length,
                            int* transferred) = 0;
  virtual int interrupt_in(device_context& ctx, uint8_t endpoint, uint8_t* data, int length,
                           int* transferred) = 0;
  // Bytes transferred or a negative error.
  virtual int control_transfer(device_context& ctx, uint8_t request_type, uint8_t request,
                               uint16_t value, uint16_t index, uint8_t* data, uint16_t length) = 0;

  // Unplug or port reset: drops partial frames and queued answers.
  virtual void power_cycle() = 0;
};

}  // namespace vtok
