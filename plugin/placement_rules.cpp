#include "plugin/placement_rules.h"

#include <cmath>

#include "plugin/card_metrics.h"

namespace tunelight::plugin {

namespace {
const PlacementPreset kPresets[] = {
    {"top_left", 5, -1, -1},   {"top_center", 4, 0, -1},   {"top_right", 6, 1, -1},
    {"middle_left", 1, -1, 0}, {"center", 0, 0, 0},        {"middle_right", 2, 1, 0},
    {"bottom_left", 9, -1, 1}, {"bottom_center", 8, 0, 1}, {"bottom_right", 10, 1, 1},
};
}  // namespace

const PlacementPreset* find_placement_preset(const std::string& name) {
  for (const auto& p : kPresets)
    if (name == p.name) return &p;
  return nullptr;
}

PlacementTarget placement_target(const PlacementPreset& p, float w, float h, int32_t margin,
                                 float scale_x) {
  // The page draws the card inside its edges; take that back so the visible card sits `margin`
  // pixels from the canvas edge.
  float m = static_cast<float>(margin) - kCardInset * scale_x;
  auto place = [m](int mode, float size) {
    return mode < 0 ? m : mode == 0 ? size * 0.5f : size - m;
  };
  return {place(p.horizontal, w), place(p.vertical, h)};
}

bool placement_needs_move(float cur_x, float cur_y, const PlacementTarget& t) {
  return std::fabs(cur_x - t.x) > 0.5f || std::fabs(cur_y - t.y) > 0.5f;
}

}  // namespace tunelight::plugin
