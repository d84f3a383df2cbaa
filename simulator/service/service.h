// The rx7100-vtoken service: hosts one virtual bus, keeps every token's
// state under a directory, and serves clients over a Unix socket there.
#pragma once

#include <string>

namespace vtok {
namespace svc {

struct service_options {
  std::string dir;
  // Detach and return once the socket accepts connections.
  bool background = false;
  // Where log lines go when detached (default DIR/vtoken.log).
  std::string log_file;
};

// Runs the service until a client asks it to stop, SIGTERM or SIGINT.
// Returns the process exit status (0 on a clean stop). With `background`,
// the calling process returns 0 once the detached service is ready, or 1
// with a message on stderr when it failed to start.
int serve(const service_options& opt);

}  // namespace svc
}  // namespace vtok
