// Lists the tokens through the token API and prints each token's device
// information, then sends one raw GenRandom through the command library.
// Run it with RX7100_VTOKEN naming a running rx7100-vtoken service
// directory (tools/demo.sh does that).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rx7100_app.h"
#include "skf.h"

namespace {

const unsigned char kGenRandom[] = {0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08};

std::string field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

// The names of a list "a\0b\0\0".
std::vector<std::string> names_of(const char* list, ULONG size) {
  std::vector<std::string> names;
  for (ULONG i = 0; i < size && list[i] != '\0';) {
    const size_t n = strnlen(list + i, size - i);
    names.emplace_back(list + i, n);
    i += static_cast<ULONG>(n) + 1;
  }
  return names;
}

bool describe(const std::string& name) {
  DEVHANDLE h = nullptr;
  ULONG rv = SKF_ConnectDev(const_cast<char*>(name.c_str()), &h);
  if (rv != SAR_OK) {
    std::printf("  SKF_ConnectDev: 0x%08X\n", static_cast<unsigned>(rv));
    return false;
  }
  DEVINFO info;
  rv = SKF_GetDevInfo(h, &info);
  if (rv != SAR_OK) {
    std::printf("  SKF_GetDevInfo: 0x%08X\n", static_cast<unsigned>(rv));
    SKF_DisConnectDev(h);
    return false;
  }
  std::printf("  manufacturer:     %s\n", field(info.Manufacturer, sizeof info.Manufacturer).c_str());
  std::printf("  issuer:           %s\n", field(info.Issuer, sizeof info.Issuer).c_str());
  std::printf("  label:            %s\n", field(info.Label, sizeof info.Label).c_str());
  std::printf("  serial number:    %s\n", field(info.SerialNumber, sizeof info.SerialNumber).c_str());
  std::printf("  version:          %u.%u (hardware %u.%u, firmware %u.%u)\n", info.Version.major,
              info.Version.minor, info.HWVersion.major, info.HWVersion.minor,
              info.FirmwareVersion.major, info.FirmwareVersion.minor);
  std::printf("  space:            %u of %u bytes free\n", static_cast<unsigned>(info.FreeSpace),
              static_cast<unsigned>(info.TotalSpace));
  std::printf("  max buffer size:  %u (ECC %u)\n", static_cast<unsigned>(info.MaxBufferSize),
              static_cast<unsigned>(info.MaxECCBufferSize));
  SKF_DisConnectDev(h);
  return true;
}

// One raw command through the command library on the token of that name.
bool gen_random(const std::string& name) {
  void* h = app_get_dev_by_name(name.c_str());
  if (!h || app_connect_device(h) != 0) return false;
  unsigned char resp[RX_MAX_RESPONSE];
  int len = sizeof resp;
  const int rc = app_transmit(h, kGenRandom, sizeof kGenRandom, resp, &len);
  std::printf("  app_transmit GenRandom(8):");
  if (rc != 0) {
    std::printf(" failed (%d), status %04X\n", rc, static_cast<unsigned>(get_last_sw()));
    return false;
  }
  for (int i = 0; i < len; ++i) std::printf("%s%02X", i == len - 2 ? " | SW " : " ", resp[i]);
  std::printf("\n");
  return len >= 2 && resp[len - 2] == 0x90 && resp[len - 1] == 0x00;
}

}  // namespace

int main() {
  const char* dir = std::getenv("RX7100_VTOKEN");
  std::printf("RX7100_VTOKEN=%s\n", dir ? dir : "(unset: real USB devices)");

  ULONG size = 0;
  ULONG rv = SKF_EnumDev(TRUE, nullptr, &size);
  if (rv != SAR_OK) {
    std::printf("SKF_EnumDev: 0x%08X\n", static_cast<unsigned>(rv));
    return 1;
  }
  std::vector<char> list(size + 1, '\0');
  rv = size ? SKF_EnumDev(TRUE, list.data(), &size) : SAR_OK;
  if (rv != SAR_OK) {
    std::printf("SKF_EnumDev: 0x%08X\n", static_cast<unsigned>(rv));
    return 1;
  }
  const std::vector<std::string> names = names_of(list.data(), size);
  std::printf("SKF_EnumDev: %zu token(s)\n", names.size());
  if (names.empty()) return 1;

  int failures = 0;
  for (const std::string& name : names) {
    std::printf("token %s\n", name.c_str());
    if (!describe(name)) ++failures;
    if (!gen_random(name)) ++failures;
  }
  std::printf("%s\n", failures ? "demo: some calls failed" : "demo: every token answered");
  return failures ? 1 : 0;
}
