#pragma once

// Player actions on the card's source: POST /api/control's rules, apart from the HTTP side. Each
// kind of source reaches its players through a PlayerControl of its own.

#include <cstdint>
#include <map>
#include <string>

#include "agent/model.h"

namespace tunelight {

class Hub;

// Delivers actions to the players of one kind of source. Called from HTTP workers, possibly
// several at once; returns within a short deadline whatever the player does.
class PlayerControl {
 public:
  virtual ~PlayerControl() = default;
  // Sends one ControlAction to the player behind source. Empty when the player took it, else a
  // short sentence saying why not.
  virtual std::string send(const SourceRecord& source, uint32_t action) = 0;
};

struct ControlAnswer {
  int status = 200;
  std::string body;  // JSON
};

class Controller {
 public:
  explicit Controller(Hub& hub) : hub_(hub) {}

  // Routes the actions on sources of kind (a SourceKind) to control; null removes the route.
  // Set before requests are served.
  void route(int32_t kind, PlayerControl* control);

  // One request body: {"action":"playPause"|"play"|"pause"|"next"|"previous"|"show"}. 200 when
  // done, 400 for a bad body, 409 when nothing is on the card, 422 when its source cannot take
  // the action (nothing is sent then), 502 when its player did not take it.
  ControlAnswer handle(const std::string& body);

 private:
  Hub& hub_;
  std::map<int32_t, PlayerControl*> routes_;
};

}  // namespace tunelight
