// Shared steps of the command functions: argument refusal, one record
// exchange with the last status word as its store, and wiping secrets a
// record carried.
#pragma once

#include <memory>

#include "apdu/apdu.h"

namespace rx {
namespace cmd {

using apdu_ptr = std::unique_ptr<apdu>;

// Refuses a call before anything is sent: last status word 0x8001, result 1.
int refuse();

// Exchanges `a` (null: refused as above). 0 when the token answered (its
// status is then in the last status word, to be judged by the caller); 1
// when the exchange failed (the last status word holds the pseudo status).
int exchange(void* h, apdu* a);

// 0 when the last status word is 0x9000, else 2.
int judge();

// Exchange then judge: the whole of a command without output.
int run(void* h, apdu_ptr a);

// Overwrites the command data and response a record holds (key material).
void wipe(apdu* a);

// Copies the record's response into buf (capacity `cap`): 3 and nothing
// copied when it does not fit, else 0 with *copied set (may be null).
int copy_response(const apdu& a, unsigned char* buf, int cap, int* copied);

}  // namespace cmd
}  // namespace rx
