#include "plugin/agent_settings.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace tunelight::plugin {

namespace {

// Settings texts never hold control characters on purpose: a pasted tab or line break goes.
std::string without_controls(std::string s) {
  s.erase(std::remove_if(s.begin(), s.end(),
                         [](char ch) { return static_cast<unsigned char>(ch) < 0x20; }),
          s.end());
  return s;
}

}  // namespace

std::vector<std::string> parse_blocklist_text(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string piece = text.substr(pos, nl - pos);
    while (!piece.empty() && (piece.back() == '\r' || piece.back() == ' ')) piece.pop_back();
    if (!piece.empty()) out.push_back(piece);
    pos = nl + 1;
  }
  return out;
}

std::string agent_config_json(const AgentConfig& c) {
  // Members in the order they are set, which the body has always had.
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (const ServiceSwitch& sw : kServiceSwitches) j[sw.configKey] = c.*(sw.on);
  j["demo"] = c.demo;
  auto& list = j["blocklist"] = nlohmann::ordered_json::array();
  for (const std::string& entry : c.blocklist) list.push_back(without_controls(entry));
  j["outputDir"] = without_controls(c.outputDir);
  // Text that is not UTF-8 still makes a valid document.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tunelight::plugin
