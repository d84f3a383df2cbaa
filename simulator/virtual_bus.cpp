#include "virtual_bus.h"

#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "usb_descriptors.h"

namespace vtok {

using namespace rx::plat;

namespace {
constexpr int min_address = 2;  // 1 is the root hub
constexpr int max_address = 127;
constexpr int max_bus = 2;
constexpr uint64_t root_hub_id_base = 1;  // ids 1 and 2
}  // namespace

virtual_bus::virtual_bus(clock_source& clock) : clock_(clock) {}

virtual_bus::~virtual_bus() = default;

void virtual_bus::with_lock(const std::function<void()>& fn) {
  std::lock_guard<std::mutex> lk(mu_);
  fn();
}

bool virtual_bus::address_in_use(int bus, int address) const {
  if (address == 1) return true;
  for (const auto& kv : tokens_) {
    const token& t = *kv.second;
    if (t.plugged_ && t.bus_ == bus && t.address_ == address) return true;
  }
  for (const auto& kv : others_)
    if (kv.second.info.bus == bus && kv.second.info.address == address) return true;
  return false;
}

int virtual_bus::pick_address(int bus, int wanted, std::string* error) {
  if (bus < 1 || bus > max_bus) {
    if (error) *error = "no such bus " + std::to_string(bus);
    return -1;
  }
  if (wanted >= 0) {
    if (wanted < min_address || wanted > max_address || address_in_use(bus, wanted)) {
      if (error) *error = "address " + std::to_string(wanted) + " is not available";
      return -1;
    }
    return wanted;
  }
  // Like the kernel: addresses go round, skipping those in use.
  int& next = next_address_[bus];
  if (next < min_address) next = min_address;
  for (int i = 0; i <= max_address - min_address; ++i) {
    const int a = next;
    next = (next >= max_address) ? min_address : next + 1;
    if (!address_in_use(bus, a)) return a;
  }
  if (error) *error = "bus " + std::to_string(bus) + " is full";
  return -1;
}

void virtual_bus::plug_locked(token& t, int bus, int address) {
  t.bus_ = bus;
  t.address_ = address;
  t.plugged_ = true;
  t.device_id_ = next_device_id_++;
  t.kernel_driver_.clear();
  t.claims_.clear();
  if (t.scsi_) {
    // The configured node number when it is free, else the lowest free
    // one (as the kernel numbers sg nodes).
    t.sg_index_ = -1;
    t.sg_index_ = pick_sg_index(t.cfg_.sg_index, nullptr);
    if (t.sg_index_ < 0) t.sg_index_ = pick_sg_index(-1, nullptr);
  }
  const usb_config_descriptor cfg = t.device_->config_descriptor();
  for (const auto& itf : cfg.interfaces)
    if (!itf.altsettings.empty()) t.kernel_driver_[itf.altsettings[0].bInterfaceNumber] = true;
}

void virtual_bus::unplug_locked(token& t) {
  t.plugged_ = false;
  t.claims_.clear();
  t.kernel_driver_.clear();
  t.device_->power_cycle();
  if (t.scsi_) t.scsi_->power_cycle();
  t.core_.os.reset_volatile();
  t.core_.detector.reset();
}

token* virtual_bus::try_plug(const token_config& cfg_in, std::string* error) {
  std::lock_guard<std::mutex> lk(mu_);
  token_config cfg = cfg_in;
  if (cfg.transport == transport_kind::scsi && cfg.sg_index >= 0 && sg_index_in_use(cfg.sg_index)) {
    if (error) *error = "sg node " + std::to_string(cfg.sg_index) + " is taken";
    return nullptr;
  }
  if (cfg.sg_index > sg_max_index) {
    if (error) *error = "sg node " + std::to_string(cfg.sg_index) + " is out of range";
    return nullptr;
  }
  const int bus = cfg.bus < 0 ? 1 : cfg.bus;
  std::string serial = cfg.serial;
  persistent_state restored;
  if (!cfg.state.empty()) {
    nlohmann::json j = nlohmann::json::parse(cfg.state, nullptr, false);
    if (j.is_discarded() || !restored.from_json(j, error)) {
      if (error && (j.is_discarded() || error->empty())) *error = "bad token state";
      return nullptr;
    }
    if (serial.empty()) serial = restored.serial;
    if (serial != restored.serial) {
      if (error) *error = "state belongs to token " + restored.serial;
      return nullptr;
    }
  }
  if (serial.empty()) {
    do {
      char buf[32];
      std::snprintf(buf, sizeof buf, "VT%014u", ++serial_counter_);
      serial = buf;
    } while (tokens_.count(serial));
  }
  if (serial.size() > 64) {
    if (error) *error = "serial longer than 64 bytes";
    return nullptr;
  }
  if (tokens_.count(serial)) {
    if (error) *error = "a token with serial " + serial + " is already known";
    return nullptr;
  }
  const int address = pick_address(bus, cfg.address, error);
  if (address < 0) return nullptr;
  std::unique_ptr<token> t(new token(mu_, clock_, cfg, serial));
  if (!cfg.state.empty()) t->core_.os.load_persistent(restored);
  token& ref = *t;
  tokens_[serial] = std::move(t);
  order_.push_back(serial);
  plug_locked(ref, bus, address);
  return &ref;
}

token& virtual_bus::plug(const token_config& cfg) {
  std::string error;
  token* t = try_plug(cfg, &error);
  if (!t) throw std::invalid_argument(error);
  return *t;
}

void virtual_bus::unplug(const std::string& serial) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = tokens_.find(serial);
  if (it == tokens_.end() || !it->second->plugged_) return;
  unplug_locked(*it->second);
}

token& virtual_bus::replug(const std::string& serial, bool same_address) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = tokens_.find(serial);
  if (it == tokens_.end()) throw std::invalid_argument("unknown token " + serial);
  token& t = *it->second;
  if (t.plugged_) unplug_locked(t);
  const int bus = t.bus_ ? t.bus_ : 1;
  int address = -1;
  if (same_address && t.address_ >= min_address && !address_in_use(bus, t.address_))
    address = t.address_;
  std::string error;
  if (address < 0) address = pick_address(bus, -1, &error);
  if (address < 0) throw std::invalid_argument(error);
  plug_locked(t, bus, address);
  return t;
}

token* virtual_bus::find(const std::string& serial) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = tokens_.find(serial);
  return it == tokens_.end() ? nullptr : it->second.get();
}

std::vector<token*> virtual_bus::tokens() {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<token*> out;
  for (const auto& s : order_) out.push_back(tokens_.at(s).get());
  return out;
}

uint64_t virtual_bus::plug_other(uint16_t vid, uint16_t pid, uint8_t interface_class, int bus) {
  std::lock_guard<std::mutex> lk(mu_);
  const int address = pick_address(bus, -1, nullptr);
  if (address < 0) return 0;
  other_device d;
  d.info.id = next_device_id_++;
  d.info.bus = static_cast<uint8_t>(bus);
  d.info.address = static_cast<uint8_t>(address);
  d.info.descriptor = make_device_descriptor(vid, pid);
  d.interface_class = interface_class;
  const uint64_t id = d.info.id;
  others_[id] = d;
  return id;
}

void virtual_bus::unplug_other(uint64_t id) {
  std::lock_guard<std::mutex> lk(mu_);
  others_.erase(id);
}

std::vector<usb_device_info> virtual_bus::list_devices() {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<usb_device_info> out;
  for (int b = 1; b <= root_hub_count; ++b) {
    usb_device_info hub;
    hub.id = root_hub_id_base + static_cast<uint64_t>(b - 1);
    hub.bus = static_cast<uint8_t>(b);
    hub.address = 1;
    hub.descriptor = make_device_descriptor(0x1d6b, 0x0002, usb_class_hub);
    out.push_back(hub);
  }
  for (const auto& s : order_) {
    const token& t = *tokens_.at(s);
    if (!t.plugged_) continue;
    usb_device_info i;
    i.id = t.device_id_;
    i.bus = static_cast<uint8_t>(t.bus_);
    i.address = static_cast<uint8_t>(t.address_);
    i.descriptor = t.device_->device_descriptor();
    i.is_token = true;
    i.serial = t.serial_;
    out.push_back(i);
  }
  for (const auto& kv : others_) out.push_back(kv.second.info);
  return out;
}

token* virtual_bus::token_by_device(uint64_t device) {
  for (auto& kv : tokens_)
    if (kv.second->plugged_ && kv.second->device_id_ == device) return kv.second.get();
  return nullptr;
}

int virtual_bus::get_device_descriptor(uint64_t device, usb_device_descriptor* desc) {
  if (!desc) return USB_ERROR_INVALID_PARAM;
  std::lock_guard<std::mutex> lk(mu_);
  if (device >= root_hub_id_base && device < root_hub_id_base + root_hub_count) {
    *desc = make_device_descriptor(0x1d6b, 0x0002, usb_class_hub);
    return USB_SUCCESS;
  }
  if (token* t = token_by_device(device)) {
    *desc = t->device_->device_descriptor();
    return USB_SUCCESS;
  }
  auto it = others_.find(device);
  if (it == others_.end()) return USB_ERROR_NO_DEVICE;
  *desc = it->second.info.descriptor;
  return USB_SUCCESS;
}

int virtual_bus::get_config_descriptor(uint64_t device, uint8_t index, usb_config_descriptor* cfg) {
  if (!cfg) return USB_ERROR_INVALID_PARAM;
  std::lock_guard<std::mutex> lk(mu_);
  if (index != 0) return USB_ERROR_NOT_FOUND;
  if (device >= root_hub_id_base && device < root_hub_id_base + root_hub_count) {
    *cfg = single_interface_config(usb_class_hub);
    return USB_SUCCESS;
  }
  if (token* t = token_by_device(device)) {
    *cfg = t->device_->config_descriptor();
    return USB_SUCCESS;
  }
  auto it = others_.find(device);
  if (it == others_.end()) return USB_ERROR_NO_DEVICE;
  *cfg = single_interface_config(it->second.interface_class);
  return USB_SUCCESS;
}

void virtual_bus::add_record(token& t, transfer_entry e) {
  e.time_ms = clock_.now_ms();
  t.core_.record.add(std::move(e));
}

void virtual_bus::add_handle_record(token& t, int client, transfer_entry::kind what,
                                    int interface_number, int result, uint8_t request) {
  transfer_entry e;
  e.client = client;
  e.what = what;
  e.request = request;
  e.index = static_cast<uint16_t>(interface_number);
  e.result = result;
  add_record(t, std::move(e));
}

int virtual_bus::open(int client, uint64_t device, uint32_t* handle) {
  if (!handle) return USB_ERROR_INVALID_PARAM;
  std::lock_guard<std::mutex> lk(mu_);
  token* t = token_by_device(device);
  if (!t) {
    const bool known = others_.count(device) ||
                       (device >= root_hub_id_base && device < root_hub_id_base + root_hub_count);
    return known ? USB_ERROR_ACCESS : USB_ERROR_NO_DEVICE;
  }
  uint32_t h = next_handle_++;
  if (next_handle_ == 0) next_handle_ = 1;
  handles_[h] = handle_entry{client, device};
  *handle = h;
  add_handle_record(*t, client, transfer_entry::kind::open);
  return USB_SUCCESS;
}

void virtual_bus::release_handle_claims(uint32_t handle) {
  auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  token* t = token_by_device(it->second.device);
  if (!t) return;
  for (auto c = t->claims_.begin(); c != t->claims_.end();) {
    if (c->second == handle)
      c = t->claims_.erase(c);
    else
      ++c;
  }
}

int virtual_bus::close(int client, uint32_t handle) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.client != client) return USB_ERROR_INVALID_PARAM;
  release_handle_claims(handle);
  if (token* t = token_by_device(it->second.device)) {
    add_handle_record(*t, client, transfer_entry::kind::close);
  }
  handles_.erase(it);
  return USB_SUCCESS;
}

void virtual_bus::close_client(int client) {
  std::lock_guard<std::mutex> lk(mu_);
  for (auto it = sg_fds_.begin(); it != sg_fds_.end();)
    it = it->first.first == client ? sg_fds_.erase(it) : std::next(it);
  for (auto it = handles_.begin(); it != handles_.end();) {
    if (it->second.client == client) {
      release_handle_claims(it->first);
      it = handles_.erase(it);
    } else {
      ++it;
    }
  }
}

int virtual_bus::resolve(int client, uint32_t handle, token** out) {
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.client != client) return USB_ERROR_INVALID_PARAM;
  token* t = token_by_device(it->second.device);
  if (!t) return USB_ERROR_NO_DEVICE;
  *out = t;
  return USB_SUCCESS;
}

int virtual_bus::kernel_driver_active(int client, uint32_t handle, int interface_number) {
  std::lock_guard<std::mutex> lk(mu_);
  token* t = nullptr;
  int rc = resolve(client, handle, &t);
  if (rc != USB_SUCCESS) return rc;
  auto it = t->kernel_driver_.find(interface_number);
  rc = it == t->kernel_driver_.end() ? USB_ERROR_NOT_FOUND : (it->second ? 1 : 0);
  add_handle_record(*t, client, transfer_entry::kind::kernel_driver, interface_number, rc);
  return rc;
}

int virtual_bus::detach_kernel_driver(int client, uint32_t handle, int interface_number) {
  std::lock_guard<std::mutex> lk(mu_);
  token* t = nullptr;
  int rc = resolve(client, handle, &t);
  if (rc != USB_SUCCESS) return rc;
  auto it = t->kernel_driver_.find(interface_number);
  if (it == t->kernel_driver_.end() || !it->second) {
    rc = USB_ERROR_NOT_FOUND;
  } else {
    it->second = false;
    rc = USB_SUCCESS;
  }
  add_handle_record(*t, client, transfer_entry::kind::kernel_driver, interface_number, rc,
                    1 /* detach */);
  return rc;
}

int virtual_bus::claim_interface(int client, uint32_t handle, int interface_number) {
  std::lock_guard<std::mutex> lk(mu_);
  token* t = nullptr;
  int rc = resolve(client, handle, &t);
  if (rc != USB_SUCCESS) return rc;
  auto drv = t->kernel_driver_.find(interface_number);
  auto owner = t->claims_.find(interface_number);
  if (drv == t->kernel_driver_.end()) {
    rc = USB_ERROR_NOT_FOUND;
  } else if (owner != t->claims_.end() && owner->second == handle) {
    rc = USB_SUCCESS;  // claiming again through the same handle
  } else if (t->core_.faults.take(fault_kind::claim_busy)) {
    rc = USB_ERROR_BUSY;
  } else if (owner != t->claims_.end() || drv->second) {
    rc = USB_ERROR_BUSY;  // another handle holds it, or a kernel driver is bound
  } else {
    t->claims_[interface_number] = handle;
    rc = USB_SUCCESS;
  }
  add_handle_record(*t, client, transfer_entry::kind::claim, interface_number, rc);
  return rc;
}

int virtual_bus::release_interface(int client, uint32_t handle, int interface_number) {
  std::lock_guard<std::mutex> lk(mu_);
  token* t = nullptr;
  int rc = resolve(client, handle, &t);
  if (rc != USB_SUCCESS) return rc;
  auto owner = t->claims_.find(interface_number);
  if (owner == t->claims_.end() || owner->second != handle) {
    rc = USB_ERROR_NOT_FOUND;
  } else {
    t->claims_.erase(owner);
    rc = USB_SUCCESS;
  }
  add_handle_record(*t, client, transfer_entry::kind::release, interface_number, rc);
  return rc;
}

int virtual_bus::reset_device(int client, uint32_t handle) {
  std::lock_guard<std::mutex> lk(mu_);
  token* t = nullptr;
  int rc = resolve(client, handle, &t);
  if (rc != USB_SUCCESS) return rc;
  // A port reset re-enumerates at the same address: the device model and the
  // volatile state start over, claims and handles stay.
  t->device_->power_cycle();
  if (t->scsi_) t->scsi_->power_cycle();
  t->core_.os.reset_volatile();
  t->core_.detector.reset();
  add_handle_record(*t, client, transfer_entry::kind::reset);
  return USB_SUCCESS;
}

void virtual_bus::note_traffic(token& t, int client) {
  for (const auto& ev : t.core_.detector.traffic(client)) t.core_.note_interleave(ev);
}

namespace {
// The interface a transfer goes through must be claimed by this handle, or
// claimed by nobody with no kernel driver bound (the kernel then claims it
// for the caller implicitly).
int check_interface(const std::map<int, uint32_t>& claims, const std::map<int, bool>& drivers,
                    int interface_number, uint32_t handle) {
  auto owner = claims.find(interface_number);
  if (owner != claims.end()) return owner->second == handle ? USB_SUCCESS : USB_ERROR_BUSY;
  auto drv = drivers.find(interface_number);
  if (drv != drivers.end() && drv->second) return USB_ERROR_BUSY;
  return USB_SUCCESS;
}
}  // namespace

// A read with nothing to deliver waits out its timeout on the bus clock,
// outside the lock. A token pulled meanwhile fails the read with NO_DEVICE,
// as a host controller does, and that is the result the record keeps. The
// entry carries the time the read began; it is added once the wait is over.
int virtual_bus::wait_out_timeout(std::unique_lock<std::mutex>& lk, token& t, transfer_entry e,
                                  unsigned timeout_ms) {
  const uint64_t device = t.device_id_;
  e.time_ms = clock_.now_ms();
  lk.unlock();
  clock_.sleep_ms(timeout_ms);
  lk.lock();
  // Tokens stay known to the bus once plugged, so `t` is still valid; a
  // replugged token has a new device id.
  if (!token_by_device(device)) e.result = USB_ERROR_NO_DEVICE;
  const int rc = e.result;
  t.core_.record.add(std::move(e));
  return rc;
}

int virtual_bus::interrupt_transfer(int client, uint32_t handle, uint8_t endpoint, uint8_t* data,
                                    int length, int* transferred, unsigned timeout_ms) {
  if (transferred) *transferred = 0;
  std::unique_lock<std::mutex> lk(mu_);
  token* t = nullptr;
  int rc = resolve(client, handle, &t);
  if (rc != USB_SUCCESS) return rc;
  const bool in = (endpoint & 0x80) != 0;
  int done = 0;
  rc = check_interface(t->claims_, t->kernel_driver_, 0, handle);
  if (rc == USB_SUCCESS) {
    if (!data || length < 0) {
      rc = USB_ERROR_INVALID_PARAM;
    } else {
      note_traffic(*t, client);
      device_context ctx{t->core_, client};
      rc = in ? t->device_->interrupt_in(ctx, endpoint, data, length, &done)
              : t->device_->interrupt_out(ctx, endpoint, data, length, &done);
    }
  }
  transfer_entry e;
  e.client = client;
  e.what = in ? transfer_entry::kind::interrupt_in : transfer_entry::kind::interrupt_out;
  e.endpoint = endpoint;
  e.timeout_ms = timeout_ms;
  e.result = rc;
  if (data && length > 0) {
    if (in)
      e.bytes.assign(data, data + done);
    else
      e.bytes.assign(data, data + length);
  }
  if (transferred) *transferred = done;
  if (rc == USB_ERROR_TIMEOUT) return wait_out_timeout(lk, *t, std::move(e), timeout_ms);
  add_record(*t, std::move(e));
  return rc;
}

int virtual_bus::control_transfer(int client, uint32_t handle, uint8_t request_type,
                                  uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                                  uint16_t length, unsigned timeout_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  token* t = nullptr;
  int rc = resolve(client, handle, &t);
  if (rc != USB_SUCCESS) return rc;
  const bool in = (request_type & 0x80) != 0;
  const bool to_interface = (request_type & 0x1F) == 0x01;
  rc = USB_SUCCESS;
  if (to_interface) rc = check_interface(t->claims_, t->kernel_driver_, index & 0xFF, handle);
  if (rc == USB_SUCCESS) {
    if (length > 0 && !data) {
      rc = USB_ERROR_INVALID_PARAM;
    } else {
      note_traffic(*t, client);
      device_context ctx{t->core_, client};
      if (t->core_.faults.take(in ? fault_kind::control_in_fail : fault_kind::control_out_fail))
        rc = USB_ERROR_PIPE;
      else
        rc = t->device_->control_transfer(ctx, request_type, request, value, index, data, length);
    }
  }
  transfer_entry e;
  e.client = client;
  e.what = in ? transfer_entry::kind::control_in : transfer_entry::kind::control_out;
  e.request_type = request_type;
  e.request = request;
  e.value = value;
  e.index = index;
  e.timeout_ms = timeout_ms;
  e.result = rc;
  if (data && length > 0) {
    if (!in)
      e.bytes.assign(data, data + length);
    else if (rc > 0)
      e.bytes.assign(data, data + rc);
  }
  if (rc == USB_ERROR_TIMEOUT) return wait_out_timeout(lk, *t, std::move(e), timeout_ms);
  add_record(*t, std::move(e));
  return rc;
}

int virtual_bus::usb_device_count() {
  std::lock_guard<std::mutex> lk(mu_);
  int n = root_hub_count + static_cast<int>(others_.size());
  for (const auto& kv : tokens_)
    if (kv.second->plugged_) ++n;
  return n;
}

}  // namespace vtok
