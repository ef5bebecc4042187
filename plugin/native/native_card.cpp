#include "plugin/native/native_card.h"

#include <graphics/vec4.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "plugin/card_metrics.h"
#include "plugin/plugin.h"

namespace tunelight::plugin {

namespace {

// Text sources render at twice the card's size and are drawn at half, like the browser card,
// so that they stay sharp when the item is scaled up.
constexpr float kText = kCardScale / 100.0f;

enum Line { kTitle, kArtist, kStart, kEnd };

constexpr float kTurn = 6.28318530718f;

const char* text_source_id() {
#ifdef _WIN32
  return "text_gdiplus_v2";
#else
  return "text_ft2_source_v2";
#endif
}

// The Font setting as a face of the system; the text source falls back to a near match.
std::string face_for(const std::string& font, bool title) {
  if (font == "onest") return "Onest";
  if (font == "unbounded") return title ? "Unbounded" : "Onest";
#ifdef _WIN32
  return "Segoe UI";
#else
  return "Sans Serif";
#endif
}

bool title_bold(const std::string& font) {
  return font != "unbounded";  // Unbounded's title is medium, the others semibold
}

int64_t wall_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Moves v toward target by at most step.
float approach(float v, float target, float step) {
  if (v < target) return std::min(target, v + step);
  return std::max(target, v - step);
}

Color mix(const Color& a, const Color& b, float t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t,
          a.a + (b.a - a.a) * t};
}

bool same(const Color& a, const Color& b) {
  return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

uint32_t abgr(const Color& c) {
  auto byte = [](float v) { return uint32_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 255)); };
  return byte(c.a) << 24 | byte(c.b) << 16 | byte(c.g) << 8 | byte(c.r);
}

}  // namespace

NativeCard::NativeCard(obs_source_t* self) : self_(self) {
  native_feed().start();
  // Made once when the card is created rather than at its first render: compiling the effect
  // (and, with some drivers, its first draws) takes far longer than a frame. The graphics context
  // is shared, so frames still wait for it this once.
  // libobs keeps an effect made from a file for all cards until its graphics shut down.
  char* path = obs_find_module_file(module_pointer(), "card.effect");
  char* errors = nullptr;
  obs_enter_graphics();
  if (path) effect_ = gs_effect_create_from_file(path, &errors);
  if (effect_) warm_up();
  obs_leave_graphics();
  if (!effect_)
    plugin_log(LOG_ERROR, "native card: effect failed: %s",
               errors ? errors
               : path ? path
                      : "card.effect is missing");
  bfree(errors);
  bfree(path);
  if (obs_get_source_output_flags(text_source_id()) == 0) {
    plugin_log(LOG_WARNING, "%s is not available: the card shows no texts", text_source_id());
    return;
  }
  const char* names[] = {"tunelight-title", "tunelight-artist", "tunelight-start", "tunelight-end"};
  for (size_t i = 0; i < lines_.size(); ++i)
    lines_[i].source = obs_source_create_private(text_source_id(), names[i], nullptr);
}

NativeCard::~NativeCard() {
  for (auto& line : lines_)
    if (line.source) obs_source_release(line.source);
  obs_enter_graphics();
  if (effect_) gs_effect_destroy(effect_);
  if (tex_) gs_texture_destroy(tex_);
  if (tex_old_) gs_texture_destroy(tex_old_);
  obs_leave_graphics();
}

void NativeCard::set_config(const CardConfig& c) {
  // Lines of another width are fitted again; other changes keep what the lines show.
  bool refit = c.theme != config_.theme || c.layout != config_.layout || c.font != config_.font;
  config_ = c;  // the layout follows in the next tick, before the card is drawn
  script_.set_options(c.show_for, c.hide_on_pause);
  if (refit)
    for (auto& line : lines_) line.style.clear();
}

void NativeCard::enum_children(obs_source_enum_proc_t cb, void* param) {
  for (auto& line : lines_)
    if (line.source) cb(self_, line.source, param);
}

void NativeCard::send_line(TextLine& line, const std::string& text, const std::string& face, int px,
                           bool bold, const Color& color, bool remeasure) {
  obs_data_t* font = obs_data_create();
  obs_data_set_string(font, "face", face.c_str());
  obs_data_set_string(font, "style", bold ? "Bold" : "Regular");
  obs_data_set_int(font, "size", px);
  obs_data_set_int(font, "flags", bold ? OBS_FONT_BOLD : 0);
  obs_data_t* s = obs_data_create();
  obs_data_set_obj(s, "font", font);
  obs_data_set_string(s, "text", text.c_str());
  // Keys of both text sources: colour with alpha (FreeType) and colour plus opacity (GDI+).
  obs_data_set_int(s, "color1", abgr(color));
  obs_data_set_int(s, "color2", abgr(color));
  obs_data_set_int(s, "color", abgr(color) & 0xFFFFFF);
  obs_data_set_int(s, "opacity", std::lround(color.a * 100));
  obs_data_set_bool(s, "antialiasing", true);
  obs_data_set_bool(s, "outline", false);
  obs_data_set_bool(s, "drop_shadow", false);
  obs_data_set_bool(s, "word_wrap", false);
  obs_data_set_bool(s, "from_file", false);
  obs_data_set_bool(s, "log_mode", false);
  obs_source_update(line.source, s);  // deferred: the source applies it on its next tick
  obs_data_release(s);
  obs_data_release(font);
  line.shown = text;
  // A line without a width limit (the times) keeps showing while the source takes its new
  // text, so that it does not blink every second.
  if (remeasure && line.max_width > 0) {
    line.settle = 2;
    line.fits = false;
  } else if (remeasure) {
    line.fits = true;
  }
}

// Shows text in line: the whole text first; when the source measures it wider than the line,
// shorter prefixes with an ellipsis until it fits. The line is drawn only once it fits. A new
// colour alone (the card fading) keeps the text and its measure.
void NativeCard::update_line(TextLine& line, const std::string& text, const std::string& face,
                             int px, bool bold, const Color& color) {
  if (!line.source) return;
  char key[160];
  std::snprintf(key, sizeof key, "%s|%d|%d", face.c_str(), px, int(bold));
  if (text != line.want || key != line.style) {
    line.want = text;
    line.style = key;
    line.color = abgr(color);
    line.kept = utf8_length(text);
    if (text.empty()) {
      line.fits = false;  // an empty text source keeps its last text: draw nothing instead
      line.settle = 0;
      return;
    }
    send_line(line, text, face, px, bold, color, true);
    return;
  }
  if (line.want.empty()) return;
  if (abgr(color) != line.color) {
    line.color = abgr(color);
    send_line(line, line.shown, face, px, bold, color, false);
  }
  if (line.fits) return;
  if (line.settle > 0) {
    --line.settle;
    return;
  }
  float width = float(obs_source_get_width(line.source));
  if (line.max_width <= 0 || width <= line.max_width || line.kept == 0) {
    line.fits = true;
    return;
  }
  line.kept = shorter_prefix(utf8_length(line.want), line.kept, width, line.max_width);
  std::string shown = utf8_prefix(line.want, line.kept);
  while (!shown.empty() && shown.back() == ' ') shown.pop_back();
  send_line(line, shown + "\xE2\x80\xA6", face, px, bold, color, true);  // U+2026
}

void NativeCard::tick(float seconds) {
  const int64_t now = wall_now_ms();
  const auto steady = std::chrono::steady_clock::now();
  if (native_feed().version() != feed_version_) {
    feed_version_ = native_feed().version();
    feed_ = native_feed().snapshot();
    if (feed_.messages != feed_messages_ && feed_.state) script_.apply(*feed_.state, now);
    feed_messages_ = feed_.messages;
  }
  // As the card page: the card hides 3 s after the stream drops, unless it is back by then.
  bool connected = feed_.connected || (feed_.ever_connected &&
                                       steady - feed_.lost_at < std::chrono::milliseconds(3000));
  CardScript::View view = script_.view(connected, now);
  const std::optional<NowPlaying>& s = script_.state();

  // The cover: the state's cover once loaded, the placeholder without one; the previous
  // picture stays until the next is ready.
  if (s && s->active) {
    std::shared_ptr<const CoverImage> next;
    bool ready = false;
    if (s->cover_url.empty()) {
      next = feed_.placeholder;
      ready = true;
    } else if (feed_.cover_url == s->cover_url) {
      next = feed_.cover;
      ready = true;
    }
    if (ready && (!image_chosen_ || next != image_ || s->cover_url != image_url_)) {
      if (next != image_) {
        image_old_ = image_chosen_ ? image_ : nullptr;
        image_ = next;
        fade_ = image_old_ ? 0 : 1;
      }
      image_url_ = s->cover_url;
      image_chosen_ = true;
      cover_colour_ = image_ && !s->cover_url.empty() ? image_->color : std::nullopt;
    }
  }
  fade_ = std::min(1.0f, fade_ + seconds / 0.4f);
  if (fade_ >= 1) image_old_.reset();

  // Colours: the background and accent blend over 0.8 s (at once while the card is invisible).
  palette_ = card_palette(config_.background, config_.accent, cover_colour_);
  if (!same(palette_.bg, bg_to_) || !same(palette_.accent, accent_to_)) {
    bool snap = opacity_ <= 0;
    bg_from_ = snap ? palette_.bg : bg_now_;
    accent_from_ = snap ? palette_.accent : accent_now_;
    bg_to_ = palette_.bg;
    accent_to_ = palette_.accent;
    colour_t_ = snap ? 1 : 0;
  }
  colour_t_ = std::min(1.0f, colour_t_ + seconds / 0.8f);
  bg_now_ = mix(bg_from_, bg_to_, colour_t_);
  accent_now_ = mix(accent_from_, accent_to_, colour_t_);

  // Fade, dim and the pause badge.
  float target = view.hidden ? 0.0f : (view.paused ? 0.6f : 1.0f);
  opacity_ = approach(opacity_, target, seconds / 0.45f);
  lift_ = approach(lift_, view.hidden ? 10.0f : 0.0f, seconds * 10 / 0.45f);
  badge_ = approach(badge_, view.paused ? 1.0f : 0.0f, seconds / 0.3f);
  if (!view.paused && config_.theme == Theme::kVinyl)
    turn_ = std::fmod(turn_ + seconds * kTurn / 6.0f, kTurn);  // a turn in 6 s

  // Bar and times, running on between states.
  std::optional<int64_t> pos = s ? position_now(*s, now) : std::nullopt;
  std::optional<int64_t> dur = s ? s->duration_ms : std::nullopt;
  bar_shown_ = config_.show_progress && s && s->active && dur && *dur > 0 && pos;
  bar_fraction_ = bar_shown_ ? double(*pos) / double(*dur) : 0;
  time_shown_ = time_mode_on(config_.time_format);
  if (s && s->active) times_ = time_texts(config_.time_format, pos, dur, bar_shown_);
  layout_ = card_layout(config_, time_shown_, time_shown_ && times_.no_bar);

  // Texts: the state's while it is active; after it the last ones, which fade out with the card.
  if (s && s->active) {
    title_ = s->title;
    artist_ = s->artist;
    if (config_.theme == Theme::kVinyl && !s->album.empty()) artist_ += " \xC2\xB7 " + s->album;
  }
  // Text sources cannot be faded while drawn: their colours carry the card's opacity.
  const float fade = std::round(opacity_ * 32) / 32;
  Color fg = palette_.fg, dim = palette_.fg_dim;
  fg.a *= fade;
  dim.a *= fade;
  lines_[kTitle].max_width = layout_.title.w * kText;
  lines_[kArtist].max_width = layout_.artist.w * kText;
  update_line(lines_[kTitle], title_, face_for(config_.font, true),
              int(std::lround(layout_.title_px * kText)), title_bold(config_.font), fg);
  update_line(lines_[kArtist], artist_, face_for(config_.font, false),
              int(std::lround(layout_.artist_px * kText)), false, dim);
  int time_px = int(std::lround(layout_.time_px * kText));
  update_line(lines_[kStart], time_shown_ ? times_.start : "", face_for(config_.font, false),
              time_px, false, dim);
  update_line(lines_[kEnd], time_shown_ ? times_.end : "", face_for(config_.font, false), time_px,
              false, dim);
}

// Draws every technique once with the blend state the card uses, into a scrap target.
void NativeCard::warm_up() {
  gs_texrender_t* scrap = gs_texrender_create(GS_RGBA, GS_ZS_NONE);
  uint8_t pixel[4] = {255, 255, 255, 255};
  const uint8_t* data = pixel;
  gs_texture_t* tex = gs_texture_create(1, 1, GS_RGBA, 1, &data, 0);
  CoverImage image;
  image.width = image.height = 1;
  if (scrap && tex && gs_texrender_begin(scrap, 8, 8)) {
    gs_ortho(0.0f, 8.0f, 0.0f, 8.0f, -100.0f, 100.0f);
    gs_blend_state_push();
    gs_blend_function_separate(GS_BLEND_SRCALPHA, GS_BLEND_INVSRCALPHA, GS_BLEND_ONE,
                               GS_BLEND_INVSRCALPHA);
    draw_shape({1, 1, 4, 4}, 1, rgba8(255, 255, 255, 0.5));
    draw_shadow({1, 1, 4, 4}, 1, 0.5f);
    draw_image(tex, image, {1, 1, 4, 4}, 1, 0.5f, 0);
    gs_blend_state_pop();
    gs_texrender_end(scrap);
  }
  if (tex) gs_texture_destroy(tex);
  if (scrap) gs_texrender_destroy(scrap);
}

void NativeCard::set_rect_params(const Rect& r, float radius, float soft, float margin,
                                 Rect* quad) {
  float qx = std::floor(r.x - margin), qy = std::floor(r.y - margin);
  float qw = std::ceil(r.x + r.w + margin) - qx, qh = std::ceil(r.y + r.h + margin) - qy;
  *quad = {qx, qy, qw, qh};
  vec2 size;
  vec2_set(&size, qw, qh);
  vec4 rect;
  vec4_set(&rect, r.x - qx, r.y - qy, r.x - qx + r.w, r.y - qy + r.h);
  gs_effect_set_vec2(gs_effect_get_param_by_name(effect_, "quad_size"), &size);
  gs_effect_set_vec4(gs_effect_get_param_by_name(effect_, "rect"), &rect);
  gs_effect_set_float(gs_effect_get_param_by_name(effect_, "radius"),
                      std::min({radius, r.w / 2, r.h / 2}));
  gs_effect_set_float(gs_effect_get_param_by_name(effect_, "soft"), soft);
}

void NativeCard::draw_quad(const char* technique, const Rect& quad) {
  gs_matrix_push();
  gs_matrix_translate3f(quad.x, quad.y, 0);
  while (gs_effect_loop(effect_, technique))
    gs_draw_sprite(nullptr, 0, uint32_t(quad.w), uint32_t(quad.h));
  gs_matrix_pop();
}

void NativeCard::draw_shape(const Rect& r, float radius, const Color& c) {
  if (r.w <= 0 || r.h <= 0 || c.a <= 0) return;
  Rect quad;
  set_rect_params(r, radius, 1.0f, 2.0f, &quad);
  vec4 color;
  vec4_set(&color, c.r, c.g, c.b, c.a);
  gs_effect_set_vec4(gs_effect_get_param_by_name(effect_, "color"), &color);
  draw_quad("Shape", quad);
}

// The box's shadow (0 6px 20px), outside the box only, as a box shadow is.
void NativeCard::draw_shadow(const Rect& box, float radius, float alpha) {
  if (alpha <= 0) return;
  Rect shadow = box;
  shadow.y += kShadowOffsetY;
  Rect quad;
  set_rect_params(shadow, radius, 2 * kShadowBlur, kShadowBlur, &quad);
  vec4 color, hole;
  vec4_set(&color, 0, 0, 0, alpha);
  vec4_set(&hole, box.x - quad.x, box.y - quad.y, box.x - quad.x + box.w, box.y - quad.y + box.h);
  gs_effect_set_vec4(gs_effect_get_param_by_name(effect_, "color"), &color);
  gs_effect_set_vec4(gs_effect_get_param_by_name(effect_, "hole"), &hole);
  gs_effect_set_float(gs_effect_get_param_by_name(effect_, "hole_radius"), radius);
  draw_quad("Shadow", quad);
}

// Draws tex over r like "object-fit: cover", cut to the rounded box, turned by `turn` radians.
void NativeCard::draw_image(gs_texture_t* tex, const CoverImage& image, const Rect& r, float radius,
                            float alpha, float turn) {
  if (!tex || alpha <= 0 || !image.width || !image.height) return;
  // The centred part of the image with the box's aspect ratio.
  float box = r.w / r.h, img = float(image.width) / float(image.height);
  float u0 = 0, v0 = 0, u1 = 1, v1 = 1;
  if (img > box) {
    u0 = (1 - box / img) / 2, u1 = 1 - u0;
  } else {
    v0 = (1 - img / box) / 2, v1 = 1 - v0;
  }
  Rect quad;
  set_rect_params(r, radius, 1.0f, 2.0f, &quad);
  vec2 t;
  vec2_set(&t, std::cos(turn), std::sin(turn));
  vec4 uv, color;
  vec4_set(&uv, u0, v0, u1, v1);
  vec4_set(&color, 1, 1, 1, alpha);
  gs_effect_set_texture(gs_effect_get_param_by_name(effect_, "image"), tex);
  gs_effect_set_vec4(gs_effect_get_param_by_name(effect_, "color"), &color);
  gs_effect_set_vec4(gs_effect_get_param_by_name(effect_, "uv_rect"), &uv);
  gs_effect_set_vec2(gs_effect_get_param_by_name(effect_, "turn"), &t);
  draw_quad("Image", quad);
}

void NativeCard::draw_line(const TextLine& line, const Rect& box, bool centre, bool right) {
  if (!line.source || !line.fits || line.want.empty()) return;
  // The source renders at kText times the card's size.
  const float f = 1 / kText;
  float w = float(obs_source_get_width(line.source)) * f;
  float h = float(obs_source_get_height(line.source)) * f;
  float x = centre ? box.x + (box.w - w) / 2 : right ? box.x + box.w - w : box.x;
  float y = box.y + (box.h - h) / 2;
  gs_matrix_push();
  gs_matrix_translate3f(std::round(x * kText) / kText, std::round(y * kText) / kText, 0);
  gs_matrix_scale3f(f, f, 1);
  obs_source_video_render(line.source);
  gs_matrix_pop();
  // Text sources set their own blending; the card's shapes need theirs back.
  gs_blend_function_separate(GS_BLEND_SRCALPHA, GS_BLEND_INVSRCALPHA, GS_BLEND_ONE,
                             GS_BLEND_INVSRCALPHA);
}

void NativeCard::upload_cover() {
  auto create = [](const CoverImage* image) -> gs_texture_t* {
    if (!image) return nullptr;
    const uint8_t* data = image->rgba.data();
    return gs_texture_create(image->width, image->height, GS_RGBA, 1, &data, 0);
  };
  if (tex_image_ != image_) {
    // The shown picture becomes the one faded from.
    if (tex_old_) gs_texture_destroy(tex_old_);
    tex_old_ = tex_;
    tex_old_image_ = std::move(tex_image_);
    tex_ = create(image_.get());
    tex_image_ = image_;
  }
  if (tex_old_image_ != image_old_) {
    if (tex_old_) gs_texture_destroy(tex_old_);
    tex_old_ = nullptr;
    tex_old_image_.reset();
  }
}

// Everything but the pause badge, in logical pixels, each element's alpha times `alpha`.
void NativeCard::draw_card(float alpha) {
  const CardLayout& l = layout_;
  auto faded = [alpha](Color c) {
    c.a *= alpha;
    return c;
  };
  draw_shadow(l.box, l.radius, palette_.shadow_alpha * alpha);
  draw_shape(l.box, l.radius, faded(bg_now_));

  // Cover: a rounded square, or a record with the cover as its label.
  const Rect& art = l.art;
  Rect picture = art;
  float picture_radius = l.art_radius;
  if (l.disc) {
    draw_shape(art, art.w / 2, rgba8(11, 11, 13, alpha));
    Rect inner = {art.x + art.w * 0.295f, art.y + art.h * 0.295f, art.w * 0.41f, art.h * 0.41f};
    draw_shape(inner, inner.w / 2, rgba8(27, 27, 31, alpha));
    picture = {art.x + art.w * kLabelInset, art.y + art.h * kLabelInset,
               art.w * (1 - 2 * kLabelInset), art.h * (1 - 2 * kLabelInset)};
    picture_radius = picture.w / 2;
  } else {
    draw_shape(art, picture_radius, rgba8(42, 42, 51, alpha));
  }
  if (tex_old_)
    draw_image(tex_old_, *tex_old_image_, picture, picture_radius, (1 - fade_) * alpha, turn_);
  if (tex_) draw_image(tex_, *tex_image_, picture, picture_radius, fade_ * alpha, turn_);
  if (l.disc) {
    const float r = kHoleSize / 2;
    Rect hole = {art.x + art.w / 2 - r, art.y + art.h / 2 - r, kHoleSize, kHoleSize};
    draw_shape(hole, r, rgba8(11, 11, 13, alpha));
  }

  draw_line(lines_[kTitle], l.title, l.centred, false);
  draw_line(lines_[kArtist], l.artist, l.centred, false);
  bool no_bar = time_shown_ && times_.no_bar;
  if (!no_bar && bar_shown_) {
    draw_shape(l.bar, 2, faded(palette_.track));
    Rect fill = l.bar;
    fill.w = float(l.bar.w * std::clamp(bar_fraction_, 0.0, 1.0));
    draw_shape(fill, 2, faded(accent_now_));
  }
  if (time_shown_) {
    draw_line(lines_[kStart], l.times, no_bar && l.centred, false);
    if (!no_bar) draw_line(lines_[kEnd], l.times, false, true);
  }
}

// The pause badge over the cover: a veil and two bars, the icon at 34 % (28 % on a record).
void NativeCard::draw_badge(float alpha) {
  if (alpha <= 0) return;
  const CardLayout& l = layout_;
  const Rect& art = l.art;
  draw_shape(art, l.art_radius, rgba8(0, 0, 0, 0.38 * alpha));
  float icon = art.w * (l.disc ? 0.28f : kBadgeIcon), u = icon / 24;
  float ix = art.x + (art.w - icon) / 2, iy = art.y + (art.h - icon) / 2;
  Color white = rgba8(255, 255, 255, alpha);
  draw_shape({ix + 7 * u, iy + 5 * u, 3.5f * u, 14 * u}, 0, white);
  draw_shape({ix + 13.5f * u, iy + 5 * u, 3.5f * u, 14 * u}, 0, white);
}

void NativeCard::render() {
  if (opacity_ <= 0 || !effect_) return;  // hidden: nothing at all
  upload_cover();
  // Straight into the target, every element with the card's opacity: no picture of the card
  // is rendered and read back within a frame, which would make the frame wait for it.
  const bool srgb = gs_framebuffer_srgb_enabled();
  gs_enable_framebuffer_srgb(false);  // colours blend as on the card page, in sRGB
  gs_blend_state_push();
  gs_blend_function_separate(GS_BLEND_SRCALPHA, GS_BLEND_INVSRCALPHA, GS_BLEND_ONE,
                             GS_BLEND_INVSRCALPHA);
  gs_matrix_push();
  gs_matrix_translate3f(0, lift_, 0);
  draw_card(opacity_);
  draw_badge(badge_ * opacity_);
  gs_matrix_pop();
  gs_blend_state_pop();
  gs_enable_framebuffer_srgb(srgb);
}

}  // namespace tunelight::plugin
