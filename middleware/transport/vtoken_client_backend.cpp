#include "transport/vtoken_client_backend.h"

#include "transport/vtoken_wire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace rx {
namespace plat {

namespace {

using namespace vtoken_wire;

// Every response starts with an i32 result; the client takes none above 1 MiB.
constexpr uint32_t kMinResponse = 4;
constexpr uint32_t kMaxResponse = 1u << 20;

// A request body: the op code, then the fields.
writer begin_request(uint8_t op) {
  writer w;
  w.u8(op);
  return w;
}

bool recv_msg(int fd, std::vector<uint8_t>* body) {
  return read_message(fd, kMinResponse, kMaxResponse, body) == read_status::ok;
}

// Sets errno as a failed system call does.
int fail_errno(int err) {
  errno = err;
  return -1;
}

struct vt_context : usb_context {};

struct vt_device : usb_device {
  uint64_t id = 0;
  uint8_t bus = 0;
  uint8_t address = 0;
  usb_device_descriptor desc;
};

struct vt_handle : usb_device_handle {
  uint32_t id = 0;
  uint64_t generation = 0;
};

bool read_config(reader& in, usb_config_descriptor* config) {
  usb_config_descriptor c;
  uint8_t n_if;
  if (!in.u8(&c.bConfigurationValue) || !in.u8(&n_if)) return false;
  for (unsigned i = 0; i < n_if; ++i) {
    usb_interface itf;
    uint8_t n_alt;
    if (!in.u8(&n_alt)) return false;
    for (unsigned a = 0; a < n_alt; ++a) {
      usb_interface_descriptor d;
      uint8_t n_ep;
      if (!in.u8(&d.bInterfaceNumber) || !in.u8(&d.bAlternateSetting) || !in.u8(&d.bInterfaceClass) ||
          !in.u8(&d.bInterfaceSubClass) || !in.u8(&d.bInterfaceProtocol) || !in.u8(&n_ep))
        return false;
      for (unsigned e = 0; e < n_ep; ++e) {
        usb_endpoint_descriptor ep;
        if (!in.u8(&ep.bEndpointAddress) || !in.u8(&ep.bmAttributes) || !in.u16(&ep.wMaxPacketSize))
          return false;
        d.endpoints.push_back(ep);
      }
      itf.altsettings.push_back(std::move(d));
    }
    c.interfaces.push_back(std::move(itf));
  }
  if (!in.done()) return false;
  *config = std::move(c);
  return true;
}

}  // namespace

vtoken_client_backend::vtoken_client_backend(std::string dir) : dir_(std::move(dir)), pid_(::getpid()) {}

vtoken_client_backend::~vtoken_client_backend() {
  std::lock_guard<std::mutex> lock(mu_);
  disconnect_locked();
}

void vtoken_client_backend::disconnect_locked() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  client_id_ = 0;
  ++generation_;
}

void vtoken_client_backend::check_fork_locked() {
  pid_t now = ::getpid();
  if (now != pid_) {
    // The descriptor is shared with the parent; this process needs its own
    // connection and its own client identity.
    pid_ = now;
    disconnect_locked();
  }
}

bool vtoken_client_backend::connect_locked() {
  const std::string path = dir_ + "/vtoken.sock";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return false;
  }
  writer hello = begin_request(op_hello);
  hello.u32(protocol_magic).u16(protocol_version);
  std::vector<uint8_t> resp;
  int32_t result = -1;
  uint32_t id = 0;
  if (!write_message(fd, hello.body()) || !recv_msg(fd, &resp)) {
    ::close(fd);
    return false;
  }
  reader in(resp);
  if (!in.i32(&result) || !in.u32(&id) || !in.done() || result != 0 || id == 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  client_id_ = id;
  return true;
}

vtoken_client_backend::call_status vtoken_client_backend::call_locked(const std::vector<uint8_t>& request,
                                                                      std::vector<uint8_t>* response) {
  check_fork_locked();
  if (fd_ < 0 && !connect_locked()) return call_status::unreachable;
  if (!write_message(fd_, request) || !recv_msg(fd_, response)) {
    disconnect_locked();
    return call_status::lost;
  }
  return call_status::ok;
}

uint32_t vtoken_client_backend::client_id() {
  std::lock_guard<std::mutex> lock(mu_);
  check_fork_locked();
  if (fd_ < 0) connect_locked();
  return client_id_;
}

bool vtoken_client_backend::live_handle(usb_device_handle* handle, uint32_t* id) {
  auto* h = dynamic_cast<vt_handle*>(handle);
  if (!h || h->generation != generation_) return false;
  *id = h->id;
  return true;
}

// ---- USB ----

int vtoken_client_backend::usb_init(usb_context** ctx) {
  if (!ctx) return USB_ERROR_INVALID_PARAM;
  *ctx = new vt_context;
  return USB_SUCCESS;
}

void vtoken_client_backend::usb_exit(usb_context* ctx) { delete ctx; }

long vtoken_client_backend::usb_get_device_list(usb_context*, std::vector<usb_device_ref>* list) {
  if (!list) return USB_ERROR_INVALID_PARAM;
  list->clear();
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> resp;
  if (call_locked(begin_request(op_device_list).body(), &resp) != call_status::ok) return USB_ERROR_IO;
  reader in(resp);
  int32_t count;
  if (!in.i32(&count)) return USB_ERROR_IO;
  if (count < 0) return count;
  if (count > 1024) return USB_ERROR_IO;
  std::vector<usb_device_ref> devices;
  for (int32_t i = 0; i < count; ++i) {
    auto d = std::make_shared<vt_device>();
    if (!in.u64(&d->id) || !in.u8(&d->bus) || !in.u8(&d->address) || !in.u16(&d->desc.idVendor) ||
        !in.u16(&d->desc.idProduct) || !in.u16(&d->desc.bcdDevice) || !in.u8(&d->desc.bDeviceClass) ||
        !in.u8(&d->desc.bNumConfigurations))
      return USB_ERROR_IO;
    devices.push_back(std::move(d));
  }
  if (!in.done()) return USB_ERROR_IO;
  *list = std::move(devices);
  return static_cast<long>(list->size());
}

int vtoken_client_backend::usb_get_device_descriptor(usb_device* dev, usb_device_descriptor* desc) {
  auto* d = dynamic_cast<vt_device*>(dev);
  if (!d || !desc) return USB_ERROR_INVALID_PARAM;
  *desc = d->desc;
  return USB_SUCCESS;
}

int vtoken_client_backend::config_descriptor(usb_device* dev, uint8_t index, usb_config_descriptor* config) {
  auto* d = dynamic_cast<vt_device*>(dev);
  if (!d || !config) return USB_ERROR_INVALID_PARAM;
  writer req = begin_request(op_config_descriptor);
  req.u64(d->id).u8(index);
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> resp;
  if (call_locked(req.body(), &resp) != call_status::ok) return USB_ERROR_IO;
  reader in(resp);
  int32_t result;
  if (!in.i32(&result)) return USB_ERROR_IO;
  if (result != 0) return result < 0 ? result : USB_ERROR_OTHER;
  return read_config(in, config) ? USB_SUCCESS : USB_ERROR_IO;
}

int vtoken_client_backend::usb_get_active_config_descriptor(usb_device* dev, usb_config_descriptor* config) {
  return config_descriptor(dev, 0xFF, config);
}

int vtoken_client_backend::usb_get_config_descriptor(usb_device* dev, uint8_t index,
                                                     usb_config_descriptor* config) {
  if (index == 0xFF) return USB_ERROR_NOT_FOUND;
  return config_descriptor(dev, index, config);
}

uint8_t vtoken_client_backend::usb_get_bus_number(usb_device* dev) {
  auto* d = dynamic_cast<vt_device*>(dev);
  return d ? d->bus : 0;
}

uint8_t vtoken_client_backend::usb_get_device_address(usb_device* dev) {
  auto* d = dynamic_cast<vt_device*>(dev);
  return d ? d->address : 0;
}

int vtoken_client_backend::usb_open(usb_device* dev, usb_device_handle** handle) {
  auto* d = dynamic_cast<vt_device*>(dev);
  if (!d || !handle) return USB_ERROR_INVALID_PARAM;
  writer req = begin_request(op_open);
  req.u64(d->id);
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> resp;
  if (call_locked(req.body(), &resp) != call_status::ok) return USB_ERROR_IO;
  reader in(resp);
  int32_t result;
  if (!in.i32(&result)) return USB_ERROR_IO;
  if (result != 0) return result < 0 ? result : USB_ERROR_OTHER;
  auto h = std::make_unique<vt_handle>();
  if (!in.u32(&h->id) || !in.done()) return USB_ERROR_IO;
  h->generation = generation_;
  *handle = h.release();
  return USB_SUCCESS;
}

void vtoken_client_backend::usb_close(usb_device_handle* handle) {
  if (!handle) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    uint32_t id;
    if (live_handle(handle, &id)) {
      writer req = begin_request(op_close);
      req.u32(id);
      std::vector<uint8_t> resp;
      call_locked(req.body(), &resp);  // the service releases it with the connection anyway
    }
  }
  delete handle;
}

int vtoken_client_backend::simple_handle_call(uint8_t op, usb_device_handle* handle, bool with_interface,
                                              int interface_number) {
  if (!handle) return USB_ERROR_INVALID_PARAM;
  std::lock_guard<std::mutex> lock(mu_);
  check_fork_locked();
  uint32_t id;
  if (!live_handle(handle, &id)) return USB_ERROR_NO_DEVICE;
  writer req = begin_request(op);
  req.u32(id);
  if (with_interface) req.i32(interface_number);
  std::vector<uint8_t> resp;
  if (call_locked(req.body(), &resp) != call_status::ok) return USB_ERROR_NO_DEVICE;
  reader in(resp);
  int32_t result;
  if (!in.i32(&result) || !in.done()) return USB_ERROR_IO;
  return result;
}

int vtoken_client_backend::usb_kernel_driver_active(usb_device_handle* handle, int interface_number) {
  return simple_handle_call(op_kernel_driver_active, handle, true, interface_number);
}

int vtoken_client_backend::usb_detach_kernel_driver(usb_device_handle* handle, int interface_number) {
  return simple_handle_call(op_detach_kernel_driver, handle, true, interface_number);
}

int vtoken_client_backend::usb_claim_interface(usb_device_handle* handle, int interface_number) {
  return simple_handle_call(op_claim_interface, handle, true, interface_number);
}

int vtoken_client_backend::usb_release_interface(usb_device_handle* handle, int interface_number) {
  return simple_handle_call(op_release_interface, handle, true, interface_number);
}

int vtoken_client_backend::usb_reset_device(usb_device_handle* handle) {
  return simple_handle_call(op_reset_device, handle, false, 0);
}

int vtoken_client_backend::usb_interrupt_transfer(usb_device_handle* handle, uint8_t endpoint, uint8_t* data,
                                                  int length, int* transferred, unsigned int timeout_ms) {
  if (transferred) *transferred = 0;
  if (!handle || length < 0 || static_cast<uint32_t>(length) > max_usb_data || (length > 0 && !data))
    return USB_ERROR_INVALID_PARAM;
  const bool in_dir = (endpoint & 0x80) != 0;
  writer req = begin_request(op_interrupt_transfer);
  std::lock_guard<std::mutex> lock(mu_);
  check_fork_locked();
  uint32_t id;
  if (!live_handle(handle, &id)) return USB_ERROR_NO_DEVICE;
  req.u32(id).u8(endpoint).u32(timeout_ms).u32(static_cast<uint32_t>(length));
  if (!in_dir) req.raw(data, static_cast<size_t>(length));
  std::vector<uint8_t> resp;
  if (call_locked(req.body(), &resp) != call_status::ok) return USB_ERROR_NO_DEVICE;
  reader in(resp);
  int32_t result;
  uint32_t count;
  if (!in.i32(&result) || !in.u32(&count)) return USB_ERROR_IO;
  if (in_dir) {
    std::vector<uint8_t> got;
    if (!in.bytes(&got, static_cast<uint32_t>(length)) || count != got.size()) return USB_ERROR_IO;
    if (!got.empty()) std::memcpy(data, got.data(), got.size());
  } else if (count > static_cast<uint32_t>(length)) {
    return USB_ERROR_IO;
  }
  if (!in.done()) return USB_ERROR_IO;
  if (transferred) *transferred = static_cast<int>(count);
  return result;
}

int vtoken_client_backend::usb_control_transfer(usb_device_handle* handle, uint8_t request_type,
                                                uint8_t request, uint16_t value, uint16_t index,
                                                uint8_t* data, uint16_t length, unsigned int timeout_ms) {
  if (!handle || length > max_usb_data || (length > 0 && !data)) return USB_ERROR_INVALID_PARAM;
  const bool in_dir = (request_type & 0x80) != 0;
  writer req = begin_request(op_control_transfer);
  std::lock_guard<std::mutex> lock(mu_);
  check_fork_locked();
  uint32_t id;
  if (!live_handle(handle, &id)) return USB_ERROR_NO_DEVICE;
  req.u32(id).u8(request_type).u8(request).u16(value).u16(index).u16(length).u32(timeout_ms);
  if (!in_dir && length) req.raw(data, length);
  std::vector<uint8_t> resp;
  if (call_locked(req.body(), &resp) != call_status::ok) return USB_ERROR_NO_DEVICE;
  reader in(resp);
  int32_t result;
  if (!in.i32(&result)) return USB_ERROR_IO;
  if (in_dir) {
    std::vector<uint8_t> got;
    if (!in.bytes(&got, length)) return USB_ERROR_IO;
    if (result >= 0 && static_cast<size_t>(result) != got.size()) return USB_ERROR_IO;
    if (!got.empty()) std::memcpy(data, got.data(), got.size());
  } else if (result > static_cast<int32_t>(length)) {
    return USB_ERROR_IO;
  }
  if (!in.done()) return USB_ERROR_IO;
  return result;
}

// ---- SCSI generic ----

bool vtoken_client_backend::sg_node_exists(int index) {
  writer req = begin_request(op_sg_node_exists);
  req.i32(index);
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> resp;
  if (call_locked(req.body(), &resp) != call_status::ok) return false;
  reader in(resp);
  int32_t result;
  return in.i32(&result) && in.done() && result == 1;
}

int vtoken_client_backend::sg_open(const char* path, int flags) {
  if (!path) {
    errno = EFAULT;
    return -1;
  }
  size_t n = ::strnlen(path, max_sg_path + 1);
  if (n > max_sg_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  writer req = begin_request(op_sg_open);
  req.bytes(reinterpret_cast<const uint8_t*>(path), n).i32(flags);
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> resp;
  if (call_locked(req.body(), &resp) != call_status::ok) {
    errno = EIO;
    return -1;
  }
  reader in(resp);
  int32_t result;
  if (!in.i32(&result) || !in.done()) {
    errno = EIO;
    return -1;
  }
  if (result < 0) return fail_errno(-result);
  int local = next_sg_fd_++;
  sg_fds_[local] = sg_slot{generation_, result};
  return local;
}

int vtoken_client_backend::sg_io(int fd, sg_io_hdr_t* hdr) {
  // The same checks the sg driver makes before it looks at the device.
  if (!hdr) return fail_errno(EFAULT);
  if (hdr->interface_id != 'S') return fail_errno(ENOSYS);
  if (!hdr->cmdp || hdr->cmd_len < 1 || hdr->cmd_len > max_cdb || hdr->iovec_count != 0) return fail_errno(EINVAL);
  const int dir = hdr->dxfer_direction;
  if (dir != SG_DXFER_NONE && dir != SG_DXFER_TO_DEV && dir != SG_DXFER_FROM_DEV) return fail_errno(EINVAL);
  if (dir == SG_DXFER_NONE && hdr->dxfer_len != 0) return fail_errno(EINVAL);
  if (hdr->dxfer_len > max_sg_data) return fail_errno(ENOMEM);
  if (hdr->dxfer_len > 0 && !hdr->dxferp) return fail_errno(EFAULT);
  if (hdr->mx_sb_len > 0 && !hdr->sbp) return fail_errno(EFAULT);
  std::lock_guard<std::mutex> lock(mu_);
  check_fork_locked();
  auto it = sg_fds_.find(fd);
  if (it == sg_fds_.end()) return fail_errno(EBADF);
  // Opened through a connection that is gone: the service released it.
  if (it->second.generation != generation_) return fail_errno(ENODEV);
  const bool to_dev = dir == SG_DXFER_TO_DEV;
  const bool from_dev = dir == SG_DXFER_FROM_DEV;
  const uint8_t sb_len = std::min<uint8_t>(hdr->mx_sb_len, max_sense);
  writer req = begin_request(op_sg_io);
  req.i32(it->second.remote).i32(dir).u32(hdr->timeout).u8(sb_len);
  req.bytes(hdr->cmdp, hdr->cmd_len).u32(hdr->dxfer_len);
  if (to_dev) req.bytes(static_cast<const uint8_t*>(hdr->dxferp), hdr->dxfer_len);
  std::vector<uint8_t> resp;
  if (call_locked(req.body(), &resp) != call_status::ok) return fail_errno(ENODEV);
  reader in(resp);
  int32_t result, resid;
  uint8_t status, masked;
  uint16_t host, driver;
  uint32_t duration, info;
  std::vector<uint8_t> sense, data_in;
  if (!in.i32(&result) || !in.u8(&status) || !in.u8(&masked) || !in.u16(&host) || !in.u16(&driver) ||
      !in.i32(&resid) || !in.u32(&duration) || !in.u32(&info) || !in.bytes(&sense, sb_len) ||
      !in.bytes(&data_in, from_dev ? hdr->dxfer_len : 0) || !in.done())
    return fail_errno(EIO);
  if (result != 0) return fail_errno(result < 0 ? -result : EIO);
  hdr->status = status;
  hdr->masked_status = masked;
  hdr->host_status = host;
  hdr->driver_status = driver;
  hdr->msg_status = 0;
  // The residual count is passed on as reported, even when it is
  // implausible: judging it is the transport's business, as with the kernel.
  hdr->resid = resid;
  hdr->duration = duration;
  hdr->info = info;
  hdr->sb_len_wr = static_cast<unsigned char>(sense.size());
  if (!sense.empty()) std::memcpy(hdr->sbp, sense.data(), sense.size());
  if (!data_in.empty()) std::memcpy(hdr->dxferp, data_in.data(), data_in.size());
  return 0;
}

int vtoken_client_backend::sg_close(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  check_fork_locked();
  auto it = sg_fds_.find(fd);
  if (it == sg_fds_.end()) {
    errno = EBADF;
    return -1;
  }
  sg_slot slot = it->second;
  sg_fds_.erase(it);
  if (slot.generation != generation_) return 0;  // released with its connection
  writer req = begin_request(op_sg_close);
  req.i32(slot.remote);
  std::vector<uint8_t> resp;
  // A lost connection released the descriptor with everything else.
  if (call_locked(req.body(), &resp) != call_status::ok) return 0;
  reader in(resp);
  int32_t result;
  if (!in.i32(&result) || !in.done()) return fail_errno(EIO);
  return result < 0 ? fail_errno(-result) : 0;
}

// ---- presence ----

int vtoken_client_backend::usb_device_count() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> resp;
  if (call_locked(begin_request(op_device_count).body(), &resp) != call_status::ok) return -1;
  reader in(resp);
  int32_t result;
  if (!in.i32(&result) || !in.done()) return -1;
  return result < 0 ? -1 : result;
}

// ---- clock ----

uint64_t vtoken_client_backend::monotonic_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void vtoken_client_backend::sleep_ms(unsigned int ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace plat
}  // namespace rx
