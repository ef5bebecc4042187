// Placeholder until the card files land: the table is empty.
#include "agent/widget/widget_assets.h"

namespace tunelight {

const WidgetAsset* widgetAssets(size_t* n) {
  *n = 0;
  return nullptr;
}

const WidgetAsset* findWidgetAsset(const std::string&) { return nullptr; }

}  // namespace tunelight
