#pragma once

// The card drawn by the module itself through libobs graphics, for OBS builds without a browser
// source. It shows what the module's event-stream follower gathered (native_feed.h), with the
// card page's look and rules. Texts are drawn by private text sources of the system's OBS.

#include <obs-module.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "plugin/native/native_feed.h"
#include "plugin/native/native_logic.h"

namespace tunelight::plugin {

class NativeCard {
 public:
  // On the UI thread (card create): creates the text sources.
  explicit NativeCard(obs_source_t* self);
  // Releases the text sources and the graphics objects.
  ~NativeCard();
  NativeCard(const NativeCard&) = delete;
  NativeCard& operator=(const NativeCard&) = delete;

  // Graphics thread (or create, before the card is ticked).
  void set_config(const CardConfig& c);
  // Graphics thread: follows the feed, runs the transitions, updates the texts.
  void tick(float seconds);
  // Graphics thread, inside the graphics context.
  void render();
  void enum_children(obs_source_enum_proc_t cb, void* param);

 private:
  // One line of text drawn by a private text source, shortened with an ellipsis to fit.
  struct TextLine {
    obs_source_t* source = nullptr;
    std::string want;     // the whole text
    std::string style;    // the font the source was given
    uint32_t color = 0;   // its colour
    std::string shown;    // and its text
    size_t kept = 0;      // code points of `want` shown
    int settle = 0;       // ticks until the source's size shows the last text
    bool fits = false;    // measured and within its width: drawn
    float max_width = 0;  // source pixels; 0: no limit
  };

  void update_line(TextLine& line, const std::string& text, const std::string& face, int px,
                   bool bold, const Color& color);
  void send_line(TextLine& line, const std::string& text, const std::string& face, int px,
                 bool bold, const Color& color, bool remeasure);

  // Drawing, in logical pixels, inside the graphics context.
  void set_rect_params(const Rect& r, float radius, float soft, float margin, Rect* quad);
  void draw_quad(const char* technique, const Rect& quad);
  void draw_shape(const Rect& r, float radius, const Color& c);
  void draw_shadow(const Rect& box, float radius, float alpha);
  void draw_image(gs_texture_t* tex, const CoverImage& image, const Rect& r, float radius,
                  float alpha, float turn);
  void draw_line(const TextLine& line, const Rect& box, bool centre, bool right);
  void draw_card(float alpha);
  void draw_badge(float alpha);
  void upload_cover();
  void warm_up();

  obs_source_t* self_;
  CardConfig config_;
  CardScript script_;
  uint64_t feed_version_ = ~uint64_t(0);
  uint64_t feed_messages_ = 0;
  FeedState feed_;

  // What the next render draws (tick computes it).
  CardLayout layout_;
  Palette palette_;
  Color bg_from_, bg_to_, bg_now_, accent_from_, accent_to_, accent_now_;
  float colour_t_ = 1;  // progress of the background and accent transition
  std::optional<Hsl> cover_colour_;
  float opacity_ = 0;  // fade: 0 hidden, 0.6 paused, 1 shown
  float lift_ = 10;    // the move down while hidden
  float badge_ = 0;    // pause badge opacity
  float turn_ = 0;     // the record's angle, radians
  bool bar_shown_ = false;
  double bar_fraction_ = 0;
  TimeTexts times_;
  std::string title_, artist_;  // of the last active state
  bool time_shown_ = false;

  // Covers: the one shown and the one it fades from.
  std::shared_ptr<const CoverImage> image_, image_old_;
  std::string image_url_;  // the cover url `image_` stands for
  bool image_chosen_ = false;
  float fade_ = 1;  // 0..1 from image_old_ to image_

  std::array<TextLine, 4> lines_;  // title, artist, start time, end time

  // Graphics objects (render only; the effect is made at create).
  gs_effect_t* effect_ = nullptr;
  gs_texture_t* tex_ = nullptr;      // of tex_image_
  gs_texture_t* tex_old_ = nullptr;  // of tex_old_image_
  std::shared_ptr<const CoverImage> tex_image_, tex_old_image_;
};

}  // namespace tunelight::plugin
