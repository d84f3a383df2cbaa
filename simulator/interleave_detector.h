// Notices when one client's unit of work on a token is interrupted by
// another client's traffic on the same token.
//
// Units: a frame (first OUT report to last IN report of its response), a
// chained command (first chaining part to the completing part), and a
// challenge (a command that issued a random value, up to the same client's
// next command). Frames and chains count at the first foreign transfer
// inside them; a challenge counts only when the client's next command
// actually uses the value and foreign traffic came in between. Each unit
// counts at most once.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vtok {

class interleave_detector {
 public:
  enum class unit { frame, chain, challenge };

  struct event {
    unit what;
    int owner;     // client whose unit was interrupted
    int intruder;  // client whose traffic interrupted it (challenge: the last one seen)
  };

  void begin(unit u, int client);
  void end(unit u, int client);
  bool open(unit u, int client) const;
  // A transfer by `client` reached the device: returns the frame and chain
  // units it interrupted for the first time.
  std::vector<event> traffic(int client);
  // `client` ran its next command after a challenge: closes the challenge
  // unit and returns an event when the command used the value and another
  // client's traffic came in between.
  bool command_done(int client, bool used_challenge, event* ev);
  void reset() { units_.clear(); }

 private:
  struct state {
    bool interrupted = false;
    int intruder = -1;
  };
  std::map<std::pair<unit, int>, state> units_;
};

const char* to_string(interleave_detector::unit u);

}  // namespace vtok
