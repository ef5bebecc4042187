#include "agent/demo_source.h"

#include <chrono>
#include <exception>

#include "agent/hub.h"
#include "agent/log.h"
#include "agent/model.h"

namespace tunelight {

namespace {

constexpr int64_t kStepMs = 50;
const char* const kSvgType = "image/svg+xml";

void realSleep(int64_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

SourceRecord demoTemplate() {
  SourceRecord r;
  r.sourceKey = DemoSource::kSourceKey;
  r.kind = kKindMock;
  r.service = kServiceYandex;
  r.app = "demo";
  r.local = true;
  return r;
}

}  // namespace

std::string demoCoverSvg(const std::string& topColour, const std::string& bottomColour,
                         const std::string& letter) {
  return "<svg xmlns='http://www.w3.org/2000/svg' width='400' height='400' "
         "viewBox='0 0 400 400'><defs><linearGradient id='g' x1='0' y1='0' x2='1' y2='1'>"
         "<stop offset='0' stop-color='" +
         topColour + "'/><stop offset='1' stop-color='" + bottomColour +
         "'/></linearGradient></defs><rect width='400' height='400' fill='url(#g)'/>"
         "<text x='200' y='235' font-family='Segoe UI,Arial' font-size='120' "
         "font-weight='700' fill='rgba(255,255,255,.85)' text-anchor='middle'>" +
         letter + "</text></svg>";
}

DemoSource::DemoSource(Hub& hub, WallClock clock, SleepFn sleep)
    : hub_(hub), clock_(std::move(clock)), sleep_(sleep ? std::move(sleep) : SleepFn(realSleep)) {}

DemoSource::~DemoSource() {
  stop();
}

void DemoSource::start() {
  MutexLock lock(runMu_);
  if (worker_.joinable()) return;
  stopFlag_ = false;
  worker_ = std::thread([this] { run(); });
}

void DemoSource::stop() {
  MutexLock lock(runMu_);
  stopFlag_ = true;
  if (worker_.joinable()) worker_.join();
  hub_.removeSource(kSourceKey);
}

bool DemoSource::sleepFor(int64_t ms) {
  for (int64_t slept = 0; slept < ms && !stopFlag_; slept += kStepMs) sleep_(kStepMs);
  return !stopFlag_;
}

void DemoSource::run() {
  try {
    script();
  } catch (const std::exception& e) {
    // Ends the demo until it is switched off and on again.
    log(kLogError, std::string("demo: ") + e.what());
  } catch (...) {
    log(kLogError, "demo: unknown exception");
  }
}

void DemoSource::script() {
  const std::string idA = hub_.putCover(kSvgType, demoCoverSvg("#d7263d", "#3b1f2b", "A"));
  const std::string idC = hub_.putCover(kSvgType, demoCoverSvg("#1b98e0", "#13293d", "C"));

  while (!stopFlag_) {
    SourceRecord r = demoTemplate();
    r.title = "Bohemian Rhapsody";
    r.artist = "Queen";
    r.album = "A Night at the Opera";
    r.durationMs = 354000;
    r.positionMs = 60000;
    r.positionAt = clock_();
    r.status = kStatusPlaying;
    r.coverId = idA;
    hub_.putSource(r);
    if (!sleepFor(10000)) return;

    int64_t now = clock_();
    r.positionMs = *r.positionMs + (now - r.positionAt);  // paused where it got to
    r.positionAt = now;
    r.status = kStatusPaused;
    hub_.putSource(r);
    if (!sleepFor(4000)) return;

    r.positionAt = clock_();
    r.status = kStatusPlaying;
    hub_.putSource(r);
    if (!sleepFor(5000)) return;

    r.positionMs = 300000;
    r.positionAt = clock_();
    hub_.putSource(r);
    if (!sleepFor(6000)) return;

    r = demoTemplate();
    r.service = kServiceVk;
    r.title = "Lucy In The Sky With Diamonds - Remastered 2009 (Original Mono Version)";
    r.artist = "The Beatles feat. The London Symphony Orchestra";
    r.durationMs = 185000;
    r.positionMs = 0;
    r.positionAt = clock_();
    r.status = kStatusPlaying;
    hub_.putSource(r);
    if (!sleepFor(12000)) return;

    r = demoTemplate();
    r.service = kServiceSpotify;
    r.title = "Song Without Duration";
    r.artist = "Some Artist";
    r.album = "Some Album";
    r.status = kStatusPlaying;
    r.coverId = idC;
    hub_.putSource(r);
    if (!sleepFor(8000)) return;

    hub_.removeSource(kSourceKey);
    if (!sleepFor(5000)) return;
  }
}

}  // namespace tunelight
