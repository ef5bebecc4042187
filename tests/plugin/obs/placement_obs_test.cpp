// Placement of card items on a real 1920 x 1080 canvas (libobs-opengl under Xvfb).

#include <gtest/gtest.h>
#include <obs.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "tests/plugin/obs/obs_harness.h"

namespace tunelight::test {
namespace {

// Runs UI tasks until check() holds (the video thread ticks the card and queues passes).
bool pumpUntil(ObsHarness& h, const std::function<bool()>& check, int timeoutMs = 3000) {
  return waitUntil(
      [&] {
        h.runUiTasks();
        return check();
      },
      timeoutMs);
}

bool at(obs_sceneitem_t* item, float x, float y) {
  vec2 p;
  obs_sceneitem_get_pos(item, &p);
  return std::fabs(p.x - x) < 0.01f && std::fabs(p.y - y) < 0.01f;
}

TEST(PlacementObsTest, PinsEveryItemOfTheCard) {
  HarnessOptions o;
  o.video = true;
  ObsHarness h(o);
  obs_video_info ovi;
  ASSERT_TRUE(obs_get_video_info(&ovi));
  ASSERT_EQ(ovi.base_width, 1920u);

  obs_scene_t* scenes[3];
  obs_sceneitem_t* items[3];
  obs_data_t* s = obs_data_create();
  obs_data_set_string(s, "position", "bottom_right");
  obs_source_t* card = h.createCard(s);
  obs_data_release(s);
  for (int i = 0; i < 3; ++i) {
    scenes[i] = obs_scene_create(("scene" + std::to_string(i)).c_str());
    items[i] = obs_scene_add(scenes[i], card);
  }

  for (obs_sceneitem_t* item : items) {
    EXPECT_TRUE(pumpUntil(h, [&] { return at(item, 1892, 1052); }));
    EXPECT_EQ(obs_sceneitem_get_alignment(item), 10u);
  }

  vec2 half;
  vec2_set(&half, 0.5f, 0.5f);
  obs_sceneitem_set_scale(items[0], &half);
  EXPECT_TRUE(pumpUntil(h, [&] { return at(items[0], 1886, 1046); }));
  EXPECT_TRUE(at(items[1], 1892, 1052));

  obs_data_t* center = obs_data_create();
  obs_data_set_string(center, "position", "center");
  obs_data_set_int(center, "position_margin", 200);
  obs_source_update(card, center);
  obs_data_release(center);
  EXPECT_TRUE(pumpUntil(
      h, [&] { return at(items[0], 960, 540) && obs_sceneitem_get_alignment(items[0]) == 0; }));

  // Within half a pixel: the pass resets the alignment but leaves the position alone.
  vec2 near;
  vec2_set(&near, 960.4f, 539.6f);
  obs_sceneitem_set_pos(items[0], &near);
  obs_sceneitem_set_alignment(items[0], 5);
  EXPECT_TRUE(pumpUntil(h, [&] { return obs_sceneitem_get_alignment(items[0]) == 0; }));
  EXPECT_TRUE(at(items[0], 960.4f, 539.6f));

  for (obs_scene_t* scene : scenes) obs_scene_release(scene);
}

}  // namespace
}  // namespace tunelight::test
