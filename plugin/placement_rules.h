#pragma once

// Where a placement preset puts the card on the canvas.

#include <cstdint>
#include <string>

namespace tunelight::plugin {

struct PlacementPreset {
  const char* name;
  uint32_t alignment;  // libobs OBS_ALIGN_* bits
  int horizontal;      // -1 near edge, 0 centre, +1 far edge
  int vertical;
};

// Null when name is not a preset ("manual" included).
const PlacementPreset* find_placement_preset(const std::string& name);

struct PlacementTarget {
  float x;
  float y;
};

// Where an item of horizontal scale scale_x goes on a canvas_w × canvas_h canvas.
PlacementTarget placement_target(const PlacementPreset& p, float canvas_w, float canvas_h,
                                 int32_t margin, float scale_x);

// An item within half a pixel of its target is left alone.
bool placement_needs_move(float cur_x, float cur_y, const PlacementTarget& t);

}  // namespace tunelight::plugin
