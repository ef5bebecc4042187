#include <graphics/vec2.h>

#include "plugin/plugin.h"

namespace tunelight::plugin {

namespace {

void placement_task(void* param) {
  auto* weak = static_cast<obs_weak_source_t*>(param);
  obs_source_t* source = obs_weak_source_get_source(weak);
  obs_weak_source_release(weak);
  if (!source) return;
  if (auto* card = static_cast<CardSource*>(obs_obj_get_data(source)))
    guarded("placement", [&] { apply_placement(card); });
  obs_source_release(source);
}

struct PlaceContext {
  obs_source_t* self;
  const PlacementPreset* preset;
  int32_t margin;
  float w, h;
};

bool place_item(obs_scene_t*, obs_sceneitem_t* item, void* param) {
  auto* ctx = static_cast<PlaceContext*>(param);
  if (obs_sceneitem_get_source(item) != ctx->self) return true;
  vec2 scale;
  obs_sceneitem_get_scale(item, &scale);
  PlacementTarget t = placement_target(*ctx->preset, ctx->w, ctx->h, ctx->margin, scale.x);
  if (obs_sceneitem_get_alignment(item) != ctx->preset->alignment)
    obs_sceneitem_set_alignment(item, ctx->preset->alignment);
  vec2 pos;
  obs_sceneitem_get_pos(item, &pos);
  if (placement_needs_move(pos.x, pos.y, t)) {
    vec2 target;
    vec2_set(&target, t.x, t.y);
    obs_sceneitem_set_pos(item, &target);
  }
  return true;
}

bool place_in_scene(void* param, obs_source_t* scene_source) {
  if (obs_scene_t* scene = obs_scene_from_source(scene_source))
    obs_scene_enum_items(scene, place_item, param);
  return true;
}

}  // namespace

void queue_placement(CardSource* card) {
  obs_queue_task(OBS_TASK_UI, placement_task, obs_source_get_weak_source(card->self), false);
}

void apply_placement(CardSource* card) {
  std::string position;
  int32_t margin;
  {
    // update writes these on the graphics thread.
    std::lock_guard<std::mutex> g(card->lock);
    position = card->position;
    margin = card->position_margin;
  }
  if (position == "manual") return;
  obs_video_info ovi;
  if (!obs_get_video_info(&ovi)) return;
  const PlacementPreset* preset = find_placement_preset(position);
  if (!preset) return;
  PlaceContext ctx{card->self, preset, margin, static_cast<float>(ovi.base_width),
                   static_cast<float>(ovi.base_height)};
  obs_enum_scenes(place_in_scene, &ctx);
}

}  // namespace tunelight::plugin
