// Device authentication and its key:
//   DevAuth             80 10 00 keyid, 16 bytes: SM4-ECB under the device
//                       authentication key of (first 8 bytes of the last
//                       challenge || 8 zero bytes)
//   ChangeDevAuthKey    84 12 00 keyid, 16 bytes: the new key in clear;
//                       needs device authentication
//   ChangeDevAuthKeyEx  C0 36 00 00, 16 bytes: the new key SM4-ECB encrypted
//                       under the current key; needs device authentication
//
// Key id 0 is the only key (other ids: 6A88). Every DevAuth consumes the
// last challenge, whatever its outcome; a challenge shorter than 8 bytes or
// none at all gives 6985 and costs no try. A wrong answer costs one try and
// is answered 63Cx with the tries left (63C0 for the last one); with no
// tries left every DevAuth is answered 6983. Success restores the tries and
// marks the token device-authenticated until the next power cycle; a failed
// DevAuth clears that mark. A key change restores the tries too.
#include <openssl/crypto.h>

#include <algorithm>
#include <array>

#include "card_os.h"
#include "commands/commands.h"
#include "commands/sm4.h"

namespace vtok {

namespace {

constexpr size_t challenge_used = 8;
using block = std::array<uint8_t, sm4_block>;

struct wiped_block {
  block b{};
  ~wiped_block() { OPENSSL_cleanse(b.data(), b.size()); }
};

void set_key(card_os& os, const uint8_t* key) {
  persistent_state& s = os.persistent();
  std::copy(key, key + persistent_state::dev_auth_key_size, s.dev_auth_key.begin());
  s.dev_auth_retries = persistent_state::dev_auth_max_retries;
  os.mark_persistent_changed();
}

response dev_auth(card_os& os, const command& cmd) {
  std::vector<uint8_t> challenge = os.use_challenge();
  struct wipe_challenge {
    std::vector<uint8_t>& v;
    ~wipe_challenge() { OPENSSL_cleanse(v.data(), v.size()); }
  } wipe{challenge};

  if (cmd.p1 != 0) return response::status(sw::wrong_p1p2);
  if (cmd.p2 != 0) return response::status(sw::reference_not_found);
  if (cmd.apdu_case != 3 || cmd.data.size() != sm4_block) return response::status(sw::wrong_length);
  persistent_state& s = os.persistent();
  if (s.dev_auth_retries == 0) return response::status(sw::auth_blocked);
  if (challenge.size() < challenge_used) return response::status(sw::conditions_not_satisfied);

  wiped_block expected;
  std::copy(challenge.begin(), challenge.begin() + challenge_used, expected.b.begin());
  if (!sm4_ecb(true, s.dev_auth_key.data(), expected.b.data(), sm4_block, expected.b.data()))
    return response::status(sw::no_diagnosis);
  if (CRYPTO_memcmp(expected.b.data(), cmd.data.data(), sm4_block) != 0) {
    os.volatiles().device_authenticated = false;
    --s.dev_auth_retries;
    os.mark_persistent_changed();
    return response::status(static_cast<uint16_t>(sw::retries_left_base | s.dev_auth_retries));
  }
  if (s.dev_auth_retries != persistent_state::dev_auth_max_retries) {
    s.dev_auth_retries = persistent_state::dev_auth_max_retries;
    os.mark_persistent_changed();
  }
  os.volatiles().device_authenticated = true;
  return response::status(sw::ok);
}

response change_dev_auth_key(card_os& os, const command& cmd) {
  if (cmd.p1 != 0) return response::status(sw::wrong_p1p2);
  if (cmd.p2 != 0) return response::status(sw::reference_not_found);
  if (!os.volatiles().device_authenticated) return response::status(sw::security_not_satisfied);
  if (cmd.apdu_case != 3 || cmd.data.size() != persistent_state::dev_auth_key_size)
    return response::status(sw::wrong_length);
  set_key(os, cmd.data.data());
  return response::status(sw::ok);
}

response change_dev_auth_key_ex(card_os& os, const command& cmd) {
  if (cmd.p1 != 0 || cmd.p2 != 0) return response::status(sw::wrong_p1p2);
  if (!os.volatiles().device_authenticated) return response::status(sw::security_not_satisfied);
  if (cmd.apdu_case != 3 || cmd.data.size() != persistent_state::dev_auth_key_size)
    return response::status(sw::wrong_length);
  wiped_block key;
  if (!sm4_ecb(false, os.persistent().dev_auth_key.data(), cmd.data.data(), sm4_block, key.b.data()))
    return response::status(sw::no_diagnosis);
  set_key(os, key.b.data());
  return response::status(sw::ok);
}

}  // namespace

void register_dev_auth_commands(card_os& os) {
  os.register_handler(0x80, 0x10, dev_auth);
  os.register_handler(0x84, 0x12, change_dev_auth_key);
  os.register_handler(0xC0, 0x36, change_dev_auth_key_ex);
}

}  // namespace vtok
