#include "agent/control.h"

#include <nlohmann/json.hpp>

#include "agent/hub.h"
#include "agent/json_read.h"

namespace tunelight {

namespace {

ControlAnswer failure(int status, const std::string& error) {
  return {status, dumpJson({{"ok", false}, {"error", error}})};
}

ControlAnswer success(const std::string& source) {
  return {200, dumpJson({{"ok", true}, {"source", source}})};
}

}  // namespace

void Controller::route(int32_t kind, PlayerControl* control) {
  if (control)
    routes_[kind] = control;
  else
    routes_.erase(kind);
}

ControlAnswer Controller::handle(const std::string& body) {
  const auto action =
      json_read::memberString(nlohmann::json::parse(body, nullptr, false), "action");
  if (!action) {
    return failure(400, "the body must be a JSON object with a string member \"action\"");
  }
  const std::string& name = *action;
  if (name == "show") {
    const auto source = hub_.show();
    return source ? success(*source) : failure(409, "nothing playing");
  }
  const uint32_t bit = controlFromName(name);
  if (bit == 0) {
    return failure(400, "unknown action \"" + cutUtf8(name, 40) +
                            "\"; one of playPause, play, pause, next, previous, show");
  }
  const auto current = hub_.current();
  if (!current) return failure(409, "nothing playing");
  const auto route = routes_.find(current->kind);
  if (!(current->controls & bit) || route == routes_.end()) {
    return failure(422, "the player of " + current->sourceKey + " does not take " + name);
  }
  const std::string error = route->second->send(*current, bit);
  if (!error.empty()) return failure(502, error);
  return success(current->sourceKey);
}

}  // namespace tunelight
