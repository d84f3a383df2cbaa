// USB and SCSI generic requests of a client: decoded with every field and
// length checked, run on the bus on behalf of that client, answered.
#include <algorithm>
#include <cerrno>

#include <fcntl.h>

#include "service/token_service.h"

namespace vtok {
namespace svc {

namespace {

bool encode_config(const rx::plat::usb_config_descriptor& cfg, writer& out) {
  if (cfg.interfaces.size() > 255) return false;
  out.u8(cfg.bConfigurationValue).u8(static_cast<uint8_t>(cfg.interfaces.size()));
  for (const auto& itf : cfg.interfaces) {
    if (itf.altsettings.size() > 255) return false;
    out.u8(static_cast<uint8_t>(itf.altsettings.size()));
    for (const auto& d : itf.altsettings) {
      if (d.endpoints.size() > 255) return false;
      out.u8(d.bInterfaceNumber).u8(d.bAlternateSetting).u8(d.bInterfaceClass).u8(d.bInterfaceSubClass);
      out.u8(d.bInterfaceProtocol).u8(static_cast<uint8_t>(d.endpoints.size()));
      for (const auto& ep : d.endpoints) out.u8(ep.bEndpointAddress).u8(ep.bmAttributes).u16(ep.wMaxPacketSize);
    }
  }
  return true;
}

bool malformed(std::string* reason, const char* what) {
  *reason = std::string("malformed ") + what + " request";
  return false;
}

}  // namespace

bool token_service::handle_usb(int client, uint8_t op, reader& in, writer& out, std::string* reason) {
  switch (op) {
    case op_device_list: {
      if (!in.done()) return malformed(reason, "DEVICE_LIST");
      std::vector<usb_device_info> devices = bus_.list_devices();
      out.i32(static_cast<int32_t>(devices.size()));
      for (const auto& d : devices) {
        out.u64(d.id).u8(d.bus).u8(d.address).u16(d.descriptor.idVendor).u16(d.descriptor.idProduct);
        out.u16(d.descriptor.bcdDevice).u8(d.descriptor.bDeviceClass).u8(d.descriptor.bNumConfigurations);
      }
      return true;
    }
    case op_config_descriptor: {
      uint64_t dev;
      uint8_t index;
      if (!in.u64(&dev) || !in.u8(&index) || !in.done()) return malformed(reason, "CONFIG_DESCRIPTOR");
      rx::plat::usb_config_descriptor cfg;
      int rc = bus_.get_config_descriptor(dev, index == 0xFF ? 0 : index, &cfg);
      writer body;
      if (rc == 0 && !encode_config(cfg, body)) rc = rx::plat::USB_ERROR_OVERFLOW;
      out.i32(rc);
      if (rc == 0) out.raw(body.body().data(), body.body().size());
      return true;
    }
    case op_open: {
      uint64_t dev;
      if (!in.u64(&dev) || !in.done()) return malformed(reason, "OPEN");
      {
        // A client that never closes what it opens must not grow the bus
        // without bound.
        std::lock_guard<std::mutex> lock(mu_);
        if (clients_[client].handles.size() >= max_handles_per_client) {
          out.i32(rx::plat::USB_ERROR_NO_MEM);
          return true;
        }
      }
      uint32_t handle = 0;
      int rc = bus_.open(client, dev, &handle);
      out.i32(rc);
      if (rc == 0) {
        handle_info info;
        info.device = dev;
        for (const auto& d : bus_.list_devices())
          if (d.id == dev) info.serial = d.serial;
        std::lock_guard<std::mutex> lock(mu_);
        clients_[client].handles[handle] = info;
        out.u32(handle);
      }
      return true;
    }
    case op_close: {
      uint32_t h;
      if (!in.u32(&h) || !in.done()) return malformed(reason, "CLOSE");
      int rc = bus_.close(client, h);
      {
        std::lock_guard<std::mutex> lock(mu_);
        clients_[client].handles.erase(h);
      }
      out.i32(rc);
      return true;
    }
    case op_kernel_driver_active:
    case op_detach_kernel_driver:
    case op_claim_interface:
    case op_release_interface: {
      uint32_t h;
      int32_t itf;
      if (!in.u32(&h) || !in.i32(&itf) || !in.done()) return malformed(reason, "interface");
      int rc;
      if (op == op_kernel_driver_active)
        rc = bus_.kernel_driver_active(client, h, itf);
      else if (op == op_detach_kernel_driver)
        rc = bus_.detach_kernel_driver(client, h, itf);
      else if (op == op_claim_interface)
        rc = bus_.claim_interface(client, h, itf);
      else
        rc = bus_.release_interface(client, h, itf);
      out.i32(rc);
      return true;
    }
    case op_reset_device: {
      uint32_t h;
      if (!in.u32(&h) || !in.done()) return malformed(reason, "RESET_DEVICE");
      out.i32(bus_.reset_device(client, h));
      persist_if_changed(handle_of(client, h).serial);
      return true;
    }
    case op_interrupt_transfer: {
      uint32_t h, timeout, length;
      uint8_t ep;
      if (!in.u32(&h) || !in.u8(&ep) || !in.u32(&timeout) || !in.u32(&length))
        return malformed(reason, "INTERRUPT_TRANSFER");
      if (length > max_usb_data) return malformed(reason, "INTERRUPT_TRANSFER (length above the bound)");
      const bool dir_in = (ep & 0x80) != 0;
      std::vector<uint8_t> buf;
      if (dir_in) {
        if (!in.done()) return malformed(reason, "INTERRUPT_TRANSFER");
        buf.assign(length, 0);
      } else if (in.remaining() != length || !in.rest(&buf, max_usb_data)) {
        return malformed(reason, "INTERRUPT_TRANSFER (data does not match the length)");
      }
      int transferred = 0;
      const handle_info info = handle_of(client, h);
      int rc;
      {
        service_clock::watch watch(info.device);
        rc = bus_.interrupt_transfer(client, h, ep, buf.data(), static_cast<int>(length), &transferred, timeout);
      }
      persist_if_changed(info.serial);
      size_t n = static_cast<size_t>(std::clamp(transferred, 0, static_cast<int>(length)));
      out.i32(rc).u32(static_cast<uint32_t>(n));
      if (dir_in) out.bytes(buf.data(), n);
      return true;
    }
    case op_control_transfer: {
      uint32_t h, timeout;
      uint8_t rt, req;
      uint16_t value, index, length;
      if (!in.u32(&h) || !in.u8(&rt) || !in.u8(&req) || !in.u16(&value) || !in.u16(&index) ||
          !in.u16(&length) || !in.u32(&timeout))
        return malformed(reason, "CONTROL_TRANSFER");
      if (length > max_usb_data) return malformed(reason, "CONTROL_TRANSFER (length above the bound)");
      const bool dir_in = (rt & 0x80) != 0;
      std::vector<uint8_t> buf;
      if (dir_in) {
        if (!in.done()) return malformed(reason, "CONTROL_TRANSFER");
        buf.assign(length, 0);
      } else if (in.remaining() != length || !in.rest(&buf, max_usb_data)) {
        return malformed(reason, "CONTROL_TRANSFER (data does not match the length)");
      }
      const handle_info info = handle_of(client, h);
      int rc;
      {
        service_clock::watch watch(info.device);
        rc = bus_.control_transfer(client, h, rt, req, value, index, buf.data(), length, timeout);
      }
      persist_if_changed(info.serial);
      out.i32(rc);
      if (dir_in) out.bytes(buf.data(), rc > 0 ? std::min<size_t>(static_cast<size_t>(rc), length) : 0);
      return true;
    }
    case op_device_count:
      if (!in.done()) return malformed(reason, "DEVICE_COUNT");
      out.i32(bus_.usb_device_count());
      return true;
  }
  *reason = "unknown USB opcode";
  return false;
}

namespace {

// "/dev/sg<n>" with n a plain decimal number within the bus's range; -1 for
// anything else.
int sg_index_of(const std::string& path) {
  static const std::string prefix = "/dev/sg";
  if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size()) return -1;
  const std::string digits = path.substr(prefix.size());
  if (digits.size() > 1 && digits[0] == '0') return -1;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
    if (n > sg_max_index) return -1;
  }
  return n;
}

// The kernel's dxfer_direction values as the bus numbers them.
constexpr int32_t dxfer_none = -1, dxfer_to_dev = -2, dxfer_from_dev = -3, dxfer_to_from_dev = -4;

int bus_direction(int32_t d) { return d == dxfer_to_dev ? 1 : d == dxfer_from_dev ? 2 : 0; }

}  // namespace

bool token_service::handle_sg(int client, uint8_t op, reader& in, writer& out, std::string* reason) {
  switch (op) {
    case op_sg_node_exists: {
      int32_t index;
      if (!in.i32(&index) || !in.done()) return malformed(reason, "SG_NODE_EXISTS");
      out.i32(index >= 0 && bus_.sg_node_exists(index) ? 1 : 0);
      return true;
    }
    case op_sg_open: {
      std::string path;
      int32_t flags;
      if (!in.str(&path, max_sg_path) || !in.i32(&flags) || !in.done()) return malformed(reason, "SG_OPEN");
      const int index = sg_index_of(path);
      if (index < 0) {
        out.i32(-ENOENT);
        return true;
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (clients_[client].sg_fds.size() >= max_handles_per_client) {
          out.i32(-EMFILE);
          return true;
        }
      }
      int fd = -1;
      const int rc = bus_.sg_open(client, index, (flags & O_ACCMODE) != O_RDONLY, &fd);
      if (rc != 0) {
        out.i32(-rc);
        return true;
      }
      std::string serial;
      for (const sg_node_info& n : bus_.list_sg_nodes())
        if (n.index == index && n.is_token) serial = n.serial;
      {
        std::lock_guard<std::mutex> lock(mu_);
        clients_[client].sg_fds[fd] = serial;
      }
      out.i32(fd);
      return true;
    }
    case op_sg_io: {
      int32_t fd, dir;
      uint32_t timeout, dxfer_len;
      uint8_t sb_len;
      std::vector<uint8_t> cdb, data;
      if (!in.i32(&fd) || !in.i32(&dir) || !in.u32(&timeout) || !in.u8(&sb_len) || !in.bytes(&cdb, max_cdb) ||
          !in.u32(&dxfer_len))
        return malformed(reason, "SG_IO");
      if (cdb.empty() || dxfer_len > max_sg_data || dir < dxfer_to_from_dev || dir > dxfer_none)
        return malformed(reason, "SG_IO (field out of range)");
      if (dir == dxfer_to_dev && (!in.bytes(&data, max_sg_data) || data.size() != dxfer_len))
        return malformed(reason, "SG_IO (data does not match the length)");
      if (!in.done()) return malformed(reason, "SG_IO");

      sg_reply rep;
      int rc = 0;
      // Both directions at once, and a length without a data phase, are
      // refused as the sg driver refuses them.
      if (dir == dxfer_to_from_dev || (dir == dxfer_none && dxfer_len != 0)) {
        rc = EINVAL;
      } else {
        sg_request req;
        req.direction = bus_direction(dir);
        req.cdb = std::move(cdb);
        req.dxfer_len = dxfer_len;
        req.data_out = std::move(data);
        req.timeout_ms = timeout;
        req.mx_sb_len = sb_len;
        rc = bus_.sg_io(client, fd, req, &rep);
      }
      if (rc != 0) rep = sg_reply{};
      const size_t n_in = std::min<size_t>(rep.data_in.size(), dir == dxfer_from_dev ? dxfer_len : 0);
      const size_t n_sense = std::min<size_t>(rep.sense.size(), sb_len);
      out.i32(-rc).u8(rep.status).u8(rep.masked_status).u16(rep.host_status).u16(rep.driver_status);
      out.i32(rep.resid).u32(0).u32(rep.info).bytes(rep.sense.data(), n_sense).bytes(rep.data_in.data(), n_in);
      std::string serial;
      {
        std::lock_guard<std::mutex> lock(mu_);
        auto c = clients_.find(client);
        if (c != clients_.end()) {
          auto f = c->second.sg_fds.find(fd);
          if (f != c->second.sg_fds.end()) serial = f->second;
        }
      }
      if (rc == 0) persist_if_changed(serial);
      return true;
    }
    case op_sg_close: {
      int32_t fd;
      if (!in.i32(&fd) || !in.done()) return malformed(reason, "SG_CLOSE");
      const int rc = bus_.sg_close(client, fd);
      {
        std::lock_guard<std::mutex> lock(mu_);
        clients_[client].sg_fds.erase(fd);
      }
      out.i32(-rc);
      return true;
    }
  }
  *reason = "unknown SCSI opcode";
  return false;
}

}  // namespace svc
}  // namespace vtok
