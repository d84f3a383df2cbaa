#include "service/token_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vtok {
namespace svc {

namespace {

const char kPrefix[] = "token-";
const char kSuffix[] = ".json";
const char kTempSuffix[] = ".tmp";

bool safe_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.';
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(w);
  }
  return true;
}

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

token_store::token_store(std::string dir) : dir_(std::move(dir)) {}

bool token_store::valid_serial(const std::string& serial) {
  if (serial.empty() || serial.size() > max_serial_length) return false;
  for (unsigned char c : serial)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

std::string token_store::file_name_for(const std::string& serial) {
  static const char hex[] = "0123456789abcdef";
  std::string name = kPrefix;
  for (unsigned char c : serial) {
    if (safe_char(c)) {
      name += static_cast<char>(c);
    } else {
      name += '_';
      name += hex[c >> 4];
      name += hex[c & 15];
    }
  }
  return name + kSuffix;
}

nlohmann::json token_store::to_json(const stored_token& t) {
  return nlohmann::json{{"serial", t.serial}, {"transport", t.transport}, {"vid", t.vid},
                        {"pid", t.pid},       {"bus", t.bus},             {"address", t.address},
                        {"plugged", t.plugged}, {"os", t.os_state}};
}

bool token_store::from_json(const nlohmann::json& j, stored_token* t, std::string* error) {
  try {
    if (!j.is_object()) throw std::runtime_error("not an object");
    stored_token r;
    r.serial = j.at("serial").get<std::string>();
    r.transport = j.at("transport").get<std::string>();
    r.vid = j.at("vid").get<uint16_t>();
    r.pid = j.at("pid").get<uint16_t>();
    r.bus = j.at("bus").get<int>();
    r.address = j.at("address").get<int>();
    r.plugged = j.at("plugged").get<bool>();
    r.os_state = j.at("os");
    if (!valid_serial(r.serial)) throw std::runtime_error("invalid serial");
    if (r.transport != "hid" && r.transport != "hidctr" && r.transport != "scsi")
      throw std::runtime_error("unknown transport \"" + r.transport + "\"");
    if (r.bus < -1 || r.bus > 255 || r.address < -1 || r.address > 127)
      throw std::runtime_error("bus or address out of range");
    *t = std::move(r);
    return true;
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return false;
  }
}

bool token_store::save(const stored_token& t, std::string* error) const {
  const std::string name = file_name_for(t.serial);
  const std::string final_path = dir_ + "/" + name;
  const std::string temp_path = final_path + kTempSuffix;
  const std::string text = to_json(t).dump() + "\n";

  int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error) *error = errno_text("create " + temp_path);
    return false;
  }
  bool ok = write_all(fd, text) && ::fsync(fd) == 0;
  if (!ok && error) *error = errno_text("write " + temp_path);
  if (::close(fd) != 0 && ok) {
    ok = false;
    if (error) *error = errno_text("close " + temp_path);
  }
  if (ok && ::rename(temp_path.c_str(), final_path.c_str()) != 0) {
    ok = false;
    if (error) *error = errno_text("rename " + temp_path);
  }
  if (!ok) {
    ::unlink(temp_path.c_str());
    return false;
  }
  int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) {
    if (error) *error = errno_text("open " + dir_);
    return false;
  }
  ok = ::fsync(dfd) == 0;
  if (!ok && error) *error = errno_text("fsync " + dir_);
  ::close(dfd);
  return ok;
}

std::vector<stored_token> token_store::load_all(std::vector<std::string>* problems) const {
  std::vector<stored_token> out;
  DIR* d = ::opendir(dir_.c_str());
  if (!d) {
    if (problems) problems->push_back(errno_text("open " + dir_));
    return out;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
  ::closedir(d);

  for (const std::string& name : names) {
    if (name.compare(0, sizeof kPrefix - 1, kPrefix) != 0) continue;
    const std::string path = dir_ + "/" + name;
    if (ends_with(name, std::string(kSuffix) + kTempSuffix)) {
      // A save that never reached its rename: the previous file is intact.
      ::unlink(path.c_str());
      continue;
    }
    if (!ends_with(name, kSuffix)) continue;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      if (problems) problems->push_back(name + ": not a regular file");
      continue;
    }
    if (static_cast<size_t>(st.st_size) > max_token_file) {
      if (problems) problems->push_back(name + ": file too large");
      continue;
    }
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    stored_token t;
    std::string why;
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded()) {
      if (problems) problems->push_back(name + ": not valid JSON");
      continue;
    }
    if (!from_json(j, &t, &why)) {
      if (problems) problems->push_back(name + ": " + why);
      continue;
    }
    if (file_name_for(t.serial) != name) {
      if (problems) problems->push_back(name + ": serial does not match the file name");
      continue;
    }
    out.push_back(std::move(t));
  }
  return out;
}

}  // namespace svc
}  // namespace vtok
