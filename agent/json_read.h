#pragma once

// Reading members of the JSON bodies the agent is sent. Two rules, one place:
//  - lenient (memberString): a missing or wrongly typed member is simply not there;
//  - strict (optionalString, optionalBool): a missing member is not there, but a present one of
//    the wrong type throws std::invalid_argument, which the HTTP server answers with 500.
// Nothing here throws for a document that is not an object: it has no members.

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

namespace tunelight::json_read {

// The member, or null when doc is not an object or lacks it.
inline const nlohmann::json* member(const nlohmann::json& doc, const char* key) {
  if (!doc.is_object()) return nullptr;
  auto it = doc.find(key);
  return it == doc.end() ? nullptr : &*it;
}

inline std::optional<std::string> memberString(const nlohmann::json& doc, const char* key) {
  const nlohmann::json* m = member(doc, key);
  if (!m || !m->is_string()) return std::nullopt;
  return m->get<std::string>();
}

// `context` names the body in the exception's text ("ingest", "configuration").
[[noreturn]] inline void throwMistyped(const char* context, const char* key, const char* type) {
  throw std::invalid_argument(std::string(context) + ": \"" + key + "\" is not a " + type);
}

inline std::optional<std::string> optionalString(const nlohmann::json& doc, const char* key,
                                                 const char* context) {
  const nlohmann::json* m = member(doc, key);
  if (!m) return std::nullopt;
  if (!m->is_string()) throwMistyped(context, key, "string");
  return m->get<std::string>();
}

inline std::optional<bool> optionalBool(const nlohmann::json& doc, const char* key,
                                        const char* context) {
  const nlohmann::json* m = member(doc, key);
  if (!m) return std::nullopt;
  if (!m->is_boolean()) throwMistyped(context, key, "boolean");
  return m->get<bool>();
}

}  // namespace tunelight::json_read
