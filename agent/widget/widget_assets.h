#pragma once

#include <cstddef>
#include <string>

namespace tunelight {

// One file of the card, compiled into the agent.
struct WidgetAsset {
  const char* name;
  const char* contentType;
  const unsigned char* data;
  size_t size;
};

// The fixed table, in serving order; count in *n.
const WidgetAsset* widgetAssets(size_t* n);
// Exact, case-sensitive lookup; nullptr when absent.
const WidgetAsset* findWidgetAsset(const std::string& name);

}  // namespace tunelight
