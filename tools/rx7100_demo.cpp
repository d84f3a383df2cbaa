// Lists the tokens the library finds, connects each and asks it for eight
// random bytes. Run it with RX7100_VTOKEN naming a running rx7100-vtoken
// service directory (tools/demo.sh does that).
#include <cstdio>
#include <cstdlib>

#include "rx7100_app.h"

namespace {

const char kCriteria[] =
    "rx7100,vid_7e3b&pid_db08|vid_7e3b&pid_e618|vid_7e3b&pid_f603,vid_7e3b&pid_e618|vid_7e3b&pid_f603";
const unsigned char kGenRandom[] = {0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08};

}  // namespace

int main() {
  const char* dir = std::getenv("RX7100_VTOKEN");
  std::printf("RX7100_VTOKEN=%s\n", dir ? dir : "(unset: real USB devices)");

  const int found = app_enum_device(kCriteria);
  std::printf("app_enum_device: %d token(s)\n", found);
  if (found <= 0) return 1;

  int failures = 0;
  void* h = nullptr;
  int index = 0;
  for (app_get_first_dev(&h, RX_DEV_STATE_INITIAL); h; app_get_next_dev(&h, RX_DEV_STATE_INITIAL)) {
    char path[256] = {0};
    app_dev_get_os_path(h, path);
    std::printf("token %d: %s\n", ++index, path);
    int rc = app_connect_device(h);
    if (rc != 0) {
      std::printf("  app_connect_device: failed (%d)\n", rc);
      ++failures;
      continue;
    }
    unsigned char resp[RX_MAX_RESPONSE];
    int len = sizeof resp;
    rc = app_transmit(h, kGenRandom, sizeof kGenRandom, resp, &len);
    std::printf("  GenRandom 80 50 00 00 00 00 08 -> ");
    if (rc != 0) {
      std::printf("failed (%d), status %04X\n", rc, static_cast<unsigned>(get_last_sw()));
      ++failures;
    } else {
      for (int i = 0; i < len; ++i) std::printf("%02X%s", resp[i], i + 1 == len - 2 ? " | SW " : " ");
      std::printf("\n");
      if (len < 2 || resp[len - 2] != 0x90 || resp[len - 1] != 0x00) ++failures;
    }
    app_disconnect_device(h);
  }
  std::printf("%s\n", failures ? "demo: some exchanges failed" : "demo: every token answered");
  return failures ? 1 : 0;
}
