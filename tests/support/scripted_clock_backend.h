// A minimal platform backend for code that only needs the USB device count
// and the clock: a virtual clock whose sleep advances time and returns at
// once, and a device count a test sets (or scripts per read). Every USB and
// SCSI call fails. Header-only.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "transport/platform.h"

namespace rxtest {

class scripted_clock_backend : public rx::plat::backend {
 public:
  // ---- what the test controls ----
  void set_count(int n) {
    std::lock_guard<std::mutex> g(mu_);
    count_ = n;
  }
  // Values returned by the next reads, in order; then the set count again.
  void script_counts(std::deque<int> values) {
    std::lock_guard<std::mutex> g(mu_);
    script_ = std::move(values);
  }
  // Called (outside the backend's lock) at every count read with the value
  // about to be returned.
  void on_count(std::function<void(int)> f) {
    std::lock_guard<std::mutex> g(mu_);
    on_count_ = std::move(f);
  }
  int count_reads() const { return reads_.load(); }
  uint64_t slept_ms() const { return slept_.load(); }
  void advance(uint64_t ms) { now_.fetch_add(ms); }

  // ---- presence and clock ----
  int usb_device_count() override {
    int v;
    std::function<void(int)> cb;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (!script_.empty()) {
        v = script_.front();
        script_.pop_front();
      } else {
        v = count_;
      }
      cb = on_count_;
    }
    reads_.fetch_add(1);
    if (cb) cb(v);
    return v;
  }
  uint64_t monotonic_ms() override { return now_.load(); }
  void sleep_ms(unsigned int ms) override {
    now_.fetch_add(ms);
    slept_.fetch_add(ms);
  }

  // ---- everything else fails ----
  int usb_init(rx::plat::usb_context**) override { return rx::plat::USB_ERROR_NOT_SUPPORTED; }
  void usb_exit(rx::plat::usb_context*) override {}
  long usb_get_device_list(rx::plat::usb_context*, std::vector<rx::plat::usb_device_ref>*) override {
    return rx::plat::USB_ERROR_NOT_SUPPORTED;
  }
  int usb_get_device_descriptor(rx::plat::usb_device*, rx::plat::usb_device_descriptor*) override {
    return rx::plat::USB_ERROR_NOT_SUPPORTED;
  }
  int usb_get_active_config_descriptor(rx::plat::usb_device*, rx::plat::usb_config_descriptor*) override {
    return rx::plat::USB_ERROR_NOT_SUPPORTED;
  }
  int usb_get_config_descriptor(rx::plat::usb_device*, uint8_t, rx::plat::usb_config_descriptor*) override {
    return rx::plat::USB_ERROR_NOT_SUPPORTED;
  }
  uint8_t usb_get_bus_number(rx::plat::usb_device*) override { return 0; }
  uint8_t usb_get_device_address(rx::plat::usb_device*) override { return 0; }
  int usb_open(rx::plat::usb_device*, rx::plat::usb_device_handle**) override {
    return rx::plat::USB_ERROR_NOT_SUPPORTED;
  }
  void usb_close(rx::plat::usb_device_handle*) override {}
  int usb_kernel_driver_active(rx::plat::usb_device_handle*, int) override { return 0; }
  int usb_detach_kernel_driver(rx::plat::usb_device_handle*, int) override {
    return rx::plat::USB_ERROR_NOT_SUPPORTED;
  }
  int usb_claim_interface(rx::plat::usb_device_handle*, int) override { return rx::plat::USB_ERROR_NOT_SUPPORTED; }
  int usb_release_interface(rx::plat::usb_device_handle*, int) override {
    return rx::plat::USB_ERROR_NOT_SUPPORTED;
  }
  int usb_reset_device(rx::plat::usb_device_handle*) override { return rx::plat::USB_ERROR_NOT_SUPPORTED; }
  int usb_interrupt_transfer(rx::plat::usb_device_handle*, uint8_t, uint8_t*, int, int*, unsigned int) override {
    return rx::plat::USB_ERROR_NOT_SUPPORTED;
  }
  int usb_control_transfer(rx::plat::usb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t, uint8_t*, uint16_t,
                           unsigned int) override {
    return rx::plat::USB_ERROR_NOT_SUPPORTED;
  }
  bool sg_node_exists(int) override { return false; }
  int sg_open(const char*, int) override { return -1; }
  int sg_io(int, sg_io_hdr_t*) override { return -1; }
  int sg_close(int) override { return -1; }

 private:
  std::mutex mu_;
  int count_ = 0;
  std::deque<int> script_;
  std::function<void(int)> on_count_;
  std::atomic<int> reads_{0};
  std::atomic<uint64_t> now_{5000000};
  std::atomic<uint64_t> slept_{0};
};

// Installs a backend for the life of the object.
class scoped_backend {
 public:
  explicit scoped_backend(rx::plat::backend* b) { rx::plat::set(b); }
  ~scoped_backend() { rx::plat::set(nullptr); }
};

}  // namespace rxtest
