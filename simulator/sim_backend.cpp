#include "sim_backend.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vtok {

using namespace rx::plat;

namespace {
struct sim_context : usb_context {};

// A device reference: the plug instance it was taken from, with the
// device descriptor cached as libusb caches it.
struct sim_device : usb_device {
  usb_device_info info;
};

struct sim_handle : usb_device_handle {
  uint32_t id = 0;
};

sim_device* as_device(usb_device* d) { return dynamic_cast<sim_device*>(d); }
sim_handle* as_handle(usb_device_handle* h) { return dynamic_cast<sim_handle*>(h); }
}  // namespace

sim_backend::sim_backend(virtual_bus& bus, clock_source& clock, int client)
    : bus_(bus), clock_(clock), client_(client) {}

sim_backend::~sim_backend() = default;

int sim_backend::usb_init(usb_context** ctx) {
  if (!ctx) return USB_ERROR_INVALID_PARAM;
  *ctx = new sim_context;
  return USB_SUCCESS;
}

void sim_backend::usb_exit(usb_context* ctx) { delete ctx; }

long sim_backend::usb_get_device_list(usb_context*, std::vector<usb_device_ref>* list) {
  if (!list) return USB_ERROR_INVALID_PARAM;
  list->clear();
  for (const auto& info : bus_.list_devices()) {
    auto d = std::make_shared<sim_device>();
    d->info = info;
    list->push_back(std::move(d));
  }
  return static_cast<long>(list->size());
}

int sim_backend::usb_get_device_descriptor(usb_device* dev, usb_device_descriptor* desc) {
  sim_device* d = as_device(dev);
  if (!d || !desc) return USB_ERROR_INVALID_PARAM;
  *desc = d->info.descriptor;
  return USB_SUCCESS;
}

int sim_backend::usb_get_active_config_descriptor(usb_device* dev, usb_config_descriptor* config) {
  return usb_get_config_descriptor(dev, 0, config);
}

int sim_backend::usb_get_config_descriptor(usb_device* dev, uint8_t index,
                                           usb_config_descriptor* config) {
  sim_device* d = as_device(dev);
  if (!d || !config) return USB_ERROR_INVALID_PARAM;
  return bus_.get_config_descriptor(d->info.id, index, config);
}

uint8_t sim_backend::usb_get_bus_number(usb_device* dev) {
  sim_device* d = as_device(dev);
  return d ? d->info.bus : 0;
}

uint8_t sim_backend::usb_get_device_address(usb_device* dev) {
  sim_device* d = as_device(dev);
  return d ? d->info.address : 0;
}

int sim_backend::usb_open(usb_device* dev, usb_device_handle** handle) {
  sim_device* d = as_device(dev);
  if (!d || !handle) return USB_ERROR_INVALID_PARAM;
  uint32_t id = 0;
  const int rc = bus_.open(client_, d->info.id, &id);
  if (rc != USB_SUCCESS) return rc;
  auto* h = new sim_handle;
  h->id = id;
  *handle = h;
  return USB_SUCCESS;
}

void sim_backend::usb_close(usb_device_handle* handle) {
  sim_handle* h = as_handle(handle);
  if (!h) return;
  bus_.close(client_, h->id);
  delete h;
}

int sim_backend::usb_kernel_driver_active(usb_device_handle* handle, int interface_number) {
  sim_handle* h = as_handle(handle);
  if (!h) return USB_ERROR_INVALID_PARAM;
  return bus_.kernel_driver_active(client_, h->id, interface_number);
}

int sim_backend::usb_detach_kernel_driver(usb_device_handle* handle, int interface_number) {
  sim_handle* h = as_handle(handle);
  if (!h) return USB_ERROR_INVALID_PARAM;
  return bus_.detach_kernel_driver(client_, h->id, interface_number);
}

int sim_backend::usb_claim_interface(usb_device_handle* handle, int interface_number) {
  sim_handle* h = as_handle(handle);
  if (!h) return USB_ERROR_INVALID_PARAM;
  return bus_.claim_interface(client_, h->id, interface_number);
}

int sim_backend::usb_release_interface(usb_device_handle* handle, int interface_number) {
  sim_handle* h = as_handle(handle);
  if (!h) return USB_ERROR_INVALID_PARAM;
  return bus_.release_interface(client_, h->id, interface_number);
}

int sim_backend::usb_reset_device(usb_device_handle* handle) {
  sim_handle* h = as_handle(handle);
  if (!h) return USB_ERROR_INVALID_PARAM;
  return bus_.reset_device(client_, h->id);
}

int sim_backend::usb_interrupt_transfer(usb_device_handle* handle, uint8_t endpoint, uint8_t* data,
                                        int length, int* transferred, unsigned int timeout_ms) {
  sim_handle* h = as_handle(handle);
  if (!h) return USB_ERROR_INVALID_PARAM;
  return bus_.interrupt_transfer(client_, h->id, endpoint, data, length, transferred, timeout_ms);
}

int sim_backend::usb_control_transfer(usb_device_handle* handle, uint8_t request_type,
                                      uint8_t request, uint16_t value, uint16_t index,
                                      uint8_t* data, uint16_t length, unsigned int timeout_ms) {
  sim_handle* h = as_handle(handle);
  if (!h) return USB_ERROR_INVALID_PARAM;
  return bus_.control_transfer(client_, h->id, request_type, request, value, index, data, length,
                               timeout_ms);
}

namespace {
// "/dev/sg<n>" with n a plain decimal number; -1 for anything else.
int sg_index_of(const char* path) {
  static const char prefix[] = "/dev/sg";
  if (!path || std::strncmp(path, prefix, sizeof(prefix) - 1) != 0) return -1;
  const char* p = path + sizeof(prefix) - 1;
  if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] != '\0')) return -1;
  long n = 0;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    n = n * 10 + (*p - '0');
    if (n > sg_max_index) return -1;
  }
  return static_cast<int>(n);
}

int fail(int err) {
  errno = err;
  return -1;
}
}  // namespace

bool sim_backend::sg_node_exists(int index) { return index >= 0 && bus_.sg_node_exists(index); }

int sim_backend::sg_open(const char* path, int flags) {
  const int index = sg_index_of(path);
  if (index < 0) return fail(ENOENT);
  int fd = -1;
  const int rc = bus_.sg_open(client_, index, (flags & O_ACCMODE) != O_RDONLY, &fd);
  return rc ? fail(rc) : fd;
}

int sim_backend::sg_io(int fd, sg_io_hdr_t* hdr) {
  if (!hdr) return fail(EFAULT);
  if (hdr->interface_id != 'S') return fail(ENOSYS);
  if (!hdr->cmdp || hdr->cmd_len < 1 || hdr->cmd_len > 16 || hdr->iovec_count != 0)
    return fail(EINVAL);
  sg_request req;
  switch (hdr->dxfer_direction) {
    case SG_DXFER_NONE: req.direction = 0; break;
    case SG_DXFER_TO_DEV: req.direction = 1; break;
    case SG_DXFER_FROM_DEV: req.direction = 2; break;
    default: return fail(EINVAL);
  }
  if (req.direction == 0 && hdr->dxfer_len != 0) return fail(EINVAL);
  if (hdr->dxfer_len > sg_max_transfer) return fail(ENOMEM);
  if (hdr->dxfer_len > 0 && !hdr->dxferp) return fail(EFAULT);
  if (hdr->mx_sb_len > 0 && !hdr->sbp) return fail(EFAULT);
  req.cdb.assign(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
  req.dxfer_len = hdr->dxfer_len;
  if (req.direction == 1) {
    const auto* p = static_cast<const uint8_t*>(hdr->dxferp);
    req.data_out.assign(p, p + hdr->dxfer_len);
  }
  req.timeout_ms = hdr->timeout;
  req.mx_sb_len = hdr->mx_sb_len;

  sg_reply rep;
  const int rc = bus_.sg_io(client_, fd, req, &rep);
  if (rc) return fail(rc);
  if (req.direction == 2 && !rep.data_in.empty())
    std::memcpy(hdr->dxferp, rep.data_in.data(), std::min<size_t>(rep.data_in.size(), hdr->dxfer_len));
  if (!rep.sense.empty())
    std::memcpy(hdr->sbp, rep.sense.data(), std::min<size_t>(rep.sense.size(), hdr->mx_sb_len));
  hdr->sb_len_wr = static_cast<unsigned char>(std::min<size_t>(rep.sense.size(), hdr->mx_sb_len));
  hdr->resid = rep.resid;
  hdr->status = rep.status;
  hdr->masked_status = rep.masked_status;
  hdr->msg_status = 0;
  hdr->host_status = rep.host_status;
  hdr->driver_status = rep.driver_status;
  hdr->duration = 0;
  hdr->info = rep.info;
  return 0;
}

int sim_backend::sg_close(int fd) {
  const int rc = bus_.sg_close(client_, fd);
  return rc ? fail(rc) : 0;
}

int sim_backend::usb_device_count() { return bus_.usb_device_count(); }

uint64_t sim_backend::monotonic_ms() { return clock_.now_ms(); }

void sim_backend::sleep_ms(unsigned int ms) { clock_.sleep_ms(ms); }

}  // namespace vtok
