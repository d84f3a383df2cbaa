// The virtual token service protocol as the service sees it
// (docs/vtoken-protocol.md): the message framing, field codec and op codes
// it shares with the client backend of the library, and the bounds only the
// service applies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/vtoken_wire.h"

namespace vtok {
namespace svc {

using namespace rx::vtoken_wire;

constexpr uint32_t max_request_body = 73728;
constexpr uint32_t max_response_body = 16u * 1024 * 1024;
constexpr uint32_t max_control_text = 65536;
constexpr size_t max_handles_per_client = 256;
constexpr size_t max_connections = 512;

}  // namespace svc
}  // namespace vtok
