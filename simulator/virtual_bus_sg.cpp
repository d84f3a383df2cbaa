// The sg nodes of the virtual bus: SCSI tokens and plain disks, per-client
// descriptors and SG_IO requests.
#include <algorithm>
#include <cerrno>

#include "virtual_bus.h"

namespace vtok {

namespace {
constexpr size_t max_cdb = 16;
constexpr uint16_t driver_sense = 0x08;
constexpr uint32_t info_check = 0x01;

// The commands a read-only descriptor may send (the kernel lets an sg node
// opened O_RDONLY issue only commands that cannot change the device).
bool read_only_safe(uint8_t op) {
  switch (op) {
    case 0x00:  // TEST UNIT READY
    case 0x03:  // REQUEST SENSE
    case 0x12:  // INQUIRY
    case 0x25:  // READ CAPACITY(10)
    case 0x28:  // READ(10)
      return true;
    default:
      return false;
  }
}

scsi::direction to_direction(int d) {
  return d == 1 ? scsi::direction::to_device
                : d == 2 ? scsi::direction::from_device : scsi::direction::none;
}
}  // namespace

bool virtual_bus::sg_index_in_use(int index) const {
  if (disks_.count(index)) return true;
  for (const auto& kv : tokens_) {
    const token& t = *kv.second;
    if (t.plugged_ && t.scsi_ && t.sg_index_ == index) return true;
  }
  return false;
}

int virtual_bus::pick_sg_index(int wanted, std::string* error) const {
  if (wanted >= 0) {
    if (wanted > sg_max_index || sg_index_in_use(wanted)) {
      if (error) *error = "sg node " + std::to_string(wanted) + " is not available";
      return -1;
    }
    return wanted;
  }
  for (int i = 0; i <= sg_max_index; ++i)
    if (!sg_index_in_use(i)) return i;
  if (error) *error = "no free sg node";
  return -1;
}

token* virtual_bus::token_by_sg_index(int index) {
  for (auto& kv : tokens_) {
    token& t = *kv.second;
    if (t.plugged_ && t.scsi_ && t.sg_index_ == index) return &t;
  }
  return nullptr;
}

int virtual_bus::plug_scsi_disk(const scsi_identity& id, int sg_index, std::string* error) {
  std::lock_guard<std::mutex> lk(mu_);
  const int index = pick_sg_index(sg_index, error);
  if (index < 0) return -1;
  sg_disk d;
  d.id = next_device_id_++;
  d.target = std::make_unique<scsi_target>(id, /*vendor_channel=*/false);
  disks_[index] = std::move(d);
  return index;
}

void virtual_bus::unplug_scsi_disk(int sg_index) {
  std::lock_guard<std::mutex> lk(mu_);
  disks_.erase(sg_index);
}

std::vector<sg_node_info> virtual_bus::list_sg_nodes() {
  std::lock_guard<std::mutex> lk(mu_);
  std::map<int, sg_node_info> nodes;
  for (const auto& kv : disks_) {
    sg_node_info n;
    n.index = kv.first;
    n.vendor = kv.second.target->identity().vendor;
    n.product = kv.second.target->identity().product;
    nodes[kv.first] = n;
  }
  for (const auto& kv : tokens_) {
    const token& t = *kv.second;
    if (!t.plugged_ || !t.scsi_ || t.sg_index_ < 0) continue;
    sg_node_info n;
    n.index = t.sg_index_;
    n.is_token = true;
    n.serial = t.serial_;
    n.vendor = t.scsi_->identity().vendor;
    n.product = t.scsi_->identity().product;
    nodes[n.index] = n;
  }
  std::vector<sg_node_info> out;
  for (auto& kv : nodes) out.push_back(std::move(kv.second));
  return out;
}

bool virtual_bus::sg_node_exists(int index) {
  std::lock_guard<std::mutex> lk(mu_);
  return sg_index_in_use(index);
}

void virtual_bus::set_sg_descriptor_base(int base) {
  std::lock_guard<std::mutex> lk(mu_);
  sg_fd_base_ = base < 0 ? 0 : base;
}

int virtual_bus::sg_open(int client, int index, bool read_write, int* fd) {
  if (!fd) return EINVAL;
  std::lock_guard<std::mutex> lk(mu_);
  sg_descriptor d;
  d.node = index;
  d.read_write = read_write;
  token* t = token_by_sg_index(index);
  if (t) {
    d.instance = t->device_id_;
  } else {
    auto it = disks_.find(index);
    if (it == disks_.end()) return ENOENT;
    d.instance = it->second.id;
  }
  int n = sg_fd_base_;
  while (sg_fds_.count({client, n})) ++n;
  sg_fds_[{client, n}] = d;
  *fd = n;
  if (t) {
    transfer_entry e;
    e.client = client;
    e.what = transfer_entry::kind::open;
    e.index = static_cast<uint16_t>(index);
    e.value = read_write ? 1 : 0;
    e.note = "/dev/sg" + std::to_string(index);
    add_record(*t, std::move(e));
  }
  return 0;
}

int virtual_bus::sg_close(int client, int fd) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = sg_fds_.find({client, fd});
  if (it == sg_fds_.end()) return EBADF;
  token* t = token_by_sg_index(it->second.node);
  if (t && t->device_id_ == it->second.instance) {
    transfer_entry e;
    e.client = client;
    e.what = transfer_entry::kind::close;
    e.index = static_cast<uint16_t>(it->second.node);
    e.note = "/dev/sg" + std::to_string(it->second.node);
    add_record(*t, std::move(e));
  }
  sg_fds_.erase(it);
  return 0;
}

int virtual_bus::sg_io(int client, int fd, const sg_request& req, sg_reply* reply) {
  if (!reply) return EINVAL;
  *reply = sg_reply{};
  std::lock_guard<std::mutex> lk(mu_);
  auto it = sg_fds_.find({client, fd});
  if (it == sg_fds_.end()) return EBADF;
  const sg_descriptor d = it->second;

  token* t = token_by_sg_index(d.node);
  scsi_target* target = nullptr;
  if (t && t->device_id_ == d.instance) {
    target = t->scsi_.get();
  } else {
    t = nullptr;
    auto disk = disks_.find(d.node);
    if (disk != disks_.end() && disk->second.id == d.instance) target = disk->second.target.get();
  }
  if (!target) return ENODEV;

  if (req.cdb.empty() || req.cdb.size() > max_cdb || req.direction < 0 || req.direction > 2 ||
      req.dxfer_len > sg_max_transfer ||
      (req.direction == 1 && req.data_out.size() != req.dxfer_len))
    return EINVAL;
  if (!d.read_write && !read_only_safe(req.cdb[0])) return EPERM;

  scsi_command cmd;
  cmd.cdb = req.cdb;
  cmd.dir = to_direction(req.direction);
  if (req.direction == 1) cmd.data_out = req.data_out;
  cmd.data_in_len = req.direction == 2 ? req.dxfer_len : 0;

  if (t) note_traffic(*t, client);
  scsi_outcome o = target->execute(t ? &t->core_ : nullptr, client, cmd);

  reply->data_in = std::move(o.data_in);
  const uint32_t moved = req.direction == 2 ? static_cast<uint32_t>(reply->data_in.size())
                         : req.direction == 1 && o.status == scsi::status_good ? req.dxfer_len
                                                                               : 0;
  reply->resid = o.resid_forced ? o.resid : static_cast<int32_t>(req.dxfer_len - moved);
  reply->status = o.status;
  reply->masked_status = static_cast<uint8_t>((o.status >> 1) & 0x7F);
  if (!o.sense.empty() && req.mx_sb_len > 0) {
    reply->sense.assign(o.sense.begin(),
                        o.sense.begin() + std::min<size_t>(o.sense.size(), req.mx_sb_len));
    reply->driver_status = driver_sense;
  }
  if (reply->status || reply->host_status || reply->driver_status) reply->info = info_check;

  if (t) {
    ++t->core_.stats.sg_commands;
    transfer_entry e;
    e.client = client;
    e.what = transfer_entry::kind::sg_io;
    e.index = static_cast<uint16_t>(d.node);
    e.timeout_ms = req.timeout_ms;
    e.result = o.status;
    e.bytes = req.cdb;
    e.data = req.direction == 1 ? req.data_out : reply->data_in;
    e.sg_direction = req.direction;
    e.dxfer_len = req.dxfer_len;
    e.resid = reply->resid;
    add_record(*t, std::move(e));
  }
  return 0;
}

}  // namespace vtok
