#include "agent/http/server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "agent/control.h"
#include "agent/cover_limits.h"
#include "agent/hub.h"
#include "agent/model.h"
#include "agent/sources/extension_ingest.h"
#include "agent/widget/widget_assets.h"
#include "tests/http/raw_http.h"

namespace tunelight {
namespace {

using test::get;
using test::HttpResponse;
using test::openEvents;
using test::post;
using test::rawRequest;

const std::string kToken = "s3cret-token-value";
const std::string kInactive = "{\"active\":false}";

SourceRecord playing(const std::string& key, const std::string& artist, const std::string& title) {
  SourceRecord r;
  r.sourceKey = key;
  r.kind = kKindMediaApp;
  r.service = kServiceSpotify;
  r.app = "spotify";
  r.player = "Spotify";
  r.artist = artist;
  r.title = title;
  r.status = kStatusPlaying;
  return r;
}

bool hasFirstEvent(const std::string& b) {
  return b.find("\r\n\r\n") != std::string::npos &&
         b.find("\n\n", b.find("\r\n\r\n") + 4) != std::string::npos;
}

// Records what reaches the player; refuses when told to.
struct RecordingControl : PlayerControl {
  std::vector<std::pair<std::string, uint32_t>> sent;
  std::string refusal;
  std::string send(const SourceRecord& source, uint32_t action) override {
    sent.emplace_back(source.sourceKey, action);
    return refusal;
  }
};

class ServerTest : public ::testing::Test {
 protected:
  Hub hub{50};
  RecordingControl player;
  Controller controller{hub};
  ExtensionIngest ingest{hub, false};
  Server server{hub, "9.8.7"};
  std::atomic<int> configCalls{0};
  std::string lastConfig;
  std::atomic<int> shutdownCalls{0};
  std::function<void()> onShutdown;  // runs in the shutdown handler when set
  int port = 0;

  void start() {
    server.setIngest(&ingest);
    controller.route(kKindMediaApp, &player);
    server.setPlayerControl(&controller);
    server.setControl(
        kToken,
        [this](const std::string& body) {
          if (body == "throw") throw std::runtime_error("bad member");
          lastConfig = body;
          ++configCalls;
        },
        [this] {
          ++shutdownCalls;
          if (onShutdown) onShutdown();
        });
    port = server.start(test::freePorts(3));
    ASSERT_GT(port, 0);
  }
  void SetUp() override { start(); }
};

TEST_F(ServerTest, HostHeaderMustNameThisPortExactly) {
  const std::string p = std::to_string(port);
  for (const std::string& host : {"127.0.0.1:" + p, "localhost:" + p}) {
    EXPECT_EQ(rawRequest(port, "GET", "/api/health", {{"Host", host}}).status, 200) << host;
  }
  const std::vector<test::HeaderList> bad = {{{"Host", "LOCALHOST:" + p}},
                                             {{"Host", "127.0.0.1"}},
                                             {{"Host", "[::1]:" + p}},
                                             {{"Host", "127.0.0.1:" + std::to_string(port + 1)}},
                                             {}};
  for (const auto& headers : bad) {
    for (const std::string path : {"/api/health", "/widget", "/events", "/nope"}) {
      HttpResponse r = rawRequest(port, "GET", path, headers);
      EXPECT_EQ(r.status, 403) << path;
      EXPECT_EQ(r.body, "forbidden");
      EXPECT_EQ(r.header("Content-Type"), "text/plain");
    }
  }
  // The check comes before routing: a forbidden POST never reaches the control route.
  EXPECT_EQ(rawRequest(port, "POST", "/api/shutdown",
                       {{"Host", "evil:" + p}, {"X-Tunelight-Token", kToken}})
                .status,
            403);
  EXPECT_EQ(shutdownCalls, 0);
}

TEST_F(ServerTest, PageOriginsAreEchoedOnGetOnly) {
  const char* acao = "Access-Control-Allow-Origin";
  for (const std::string o : {"http://localhost:5173", "http://localhost", "http://127.0.0.1",
                              "http://127.0.0.1:8080", "null", "file://"}) {
    HttpResponse r = get(port, "/api/now-playing", {{"Origin", o}});
    EXPECT_EQ(r.header(acao), o);
    EXPECT_EQ(r.headers.count(acao), 1u);
  }
  for (const std::string o :
       {"http://localhost.evil.com", "https://localhost:5173", "http://127.0.0.1.nip.io",
        "http://example.com", "NULL", "moz-extension://abc"}) {
    EXPECT_FALSE(get(port, "/api/now-playing", {{"Origin", o}}).has(acao)) << o;
  }
  // Any status of a GET gets it, including routing's 404 and the Host check's 403.
  HttpResponse missing = get(port, "/no-such-path", {{"Origin", "null"}});
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.header(acao), "null");
  HttpResponse forbidden =
      rawRequest(port, "GET", "/api/health", {{"Host", "x"}, {"Origin", "null"}});
  EXPECT_EQ(forbidden.status, 403);
  EXPECT_EQ(forbidden.header(acao), "null");

  EXPECT_FALSE(post(port, "/api/config", "{}", {{"Origin", "null"}, {"X-Tunelight-Token", kToken}})
                   .has(acao));
  HttpResponse head = rawRequest(port, "HEAD", "/api/health",
                                 test::withHost(port, {{"Origin", "http://localhost:1"}}));
  EXPECT_EQ(head.status, 200);
  EXPECT_FALSE(head.has(acao));
  // No preflight handler: OPTIONS is unrouted and carries no CORS header.
  HttpResponse options =
      rawRequest(port, "OPTIONS", "/api/ingest", test::withHost(port, {{"Origin", "null"}}));
  EXPECT_EQ(options.status, 404);
  EXPECT_FALSE(options.has(acao));
}

TEST_F(ServerTest, OriginAndTokenChecks) {
  auto req = [](const std::string& name, const std::string& value) {
    httplib::Request r;
    if (!value.empty() || name == "keep-empty") r.set_header(name, value);
    return r;
  };
  EXPECT_TRUE(server.isExtensionOrigin(req("Origin", "moz-extension://")));
  EXPECT_TRUE(server.isExtensionOrigin(req("Origin", "chrome-extension://abcdef")));
  EXPECT_FALSE(server.isExtensionOrigin(req("Origin", "chrome-extension:/")));
  EXPECT_FALSE(server.isExtensionOrigin(req("Origin", "http://localhost")));
  EXPECT_FALSE(server.isExtensionOrigin(req("", "")));

  EXPECT_TRUE(server.tokenMatches(req("X-Tunelight-Token", kToken)));
  EXPECT_FALSE(server.tokenMatches(req("X-Tunelight-Token", kToken.substr(0, 5))));
  EXPECT_FALSE(server.tokenMatches(req("X-Tunelight-Token", kToken + "x")));
  // Same length, one wrong byte anywhere: every byte counts, not only the last one compared.
  for (size_t at : {size_t{0}, kToken.size() / 2, kToken.size() - 1}) {
    std::string wrong = kToken;
    wrong[at] ^= 1;
    EXPECT_FALSE(server.tokenMatches(req("X-Tunelight-Token", wrong))) << at;
  }
  EXPECT_FALSE(server.tokenMatches(req("", "")));

  Hub other{50};
  Server noToken(other, "1");
  httplib::Request empty;
  empty.set_header("X-Tunelight-Token", "");
  EXPECT_FALSE(noToken.tokenMatches(empty));
}

TEST_F(ServerTest, ControlRoutes) {
  EXPECT_EQ(post(port, "/api/config", "{\"demo\":true}").status, 403);
  EXPECT_EQ(post(port, "/api/config", "{}", {{"X-Tunelight-Token", "wrong"}}).status, 403);
  EXPECT_EQ(configCalls, 0);

  HttpResponse ok = post(port, "/api/config", "not json", {{"X-Tunelight-Token", kToken}});
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "{\"ok\":true}");
  EXPECT_EQ(ok.header("Content-Type"), "application/json");
  EXPECT_EQ(lastConfig, "not json");
  // An error from the configuration callback is answered 500 without a body or a header that
  // names it, and the server goes on.
  HttpResponse failed = post(port, "/api/config", "throw", {{"X-Tunelight-Token", kToken}});
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.body, "");
  EXPECT_FALSE(failed.has("EXCEPTION_WHAT"));
  EXPECT_EQ(get(port, "/api/now-playing").status, 200);

  EXPECT_EQ(post(port, "/api/shutdown", "", {{"X-Tunelight-Token", "x"}}).status, 403);
  EXPECT_EQ(shutdownCalls, 0);
  // A POST with neither Content-Length nor chunked encoding has no body and is answered at once.
  test::RawConnection c(port);
  auto t0 = std::chrono::steady_clock::now();
  c.send("POST /api/shutdown HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
         "\r\nX-Tunelight-Token: " + kToken + "\r\nConnection: close\r\n\r\n");
  ASSERT_TRUE(c.readUntilClosed(3000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  HttpResponse bye = test::parseResponse(c.buffer());
  EXPECT_EQ(bye.status, 200);
  EXPECT_EQ(bye.body, "{\"ok\":true}");
  EXPECT_EQ(shutdownCalls, 1);
}

TEST_F(ServerTest, PlayerControlRoute) {
  const test::HeaderList owner{{"X-Tunelight-Token", kToken}};
  auto control = [&](const std::string& body) { return post(port, "/api/control", body, owner); };
  // Only the owner: no token, a wrong one, or any page's origin (even with the token) is refused.
  EXPECT_EQ(post(port, "/api/control", "{\"action\":\"pause\"}").status, 403);
  EXPECT_EQ(
      post(port, "/api/control", "{\"action\":\"pause\"}", {{"X-Tunelight-Token", "x"}}).status,
      403);
  EXPECT_EQ(post(port, "/api/control", "{\"action\":\"pause\"}",
                 {{"X-Tunelight-Token", kToken}, {"Origin", "http://127.0.0.1:8080"}})
                .status,
            403);

  HttpResponse none = control("{\"action\":\"pause\"}");
  EXPECT_EQ(none.status, 409);
  EXPECT_EQ(none.body, "{\"error\":\"nothing playing\",\"ok\":false}");
  EXPECT_EQ(control("{\"action\":\"show\"}").status, 409);

  SourceRecord r = playing("smtc:spotify", "A", "T");
  r.controls = kControlPause | kControlPlayPause;
  hub.putSource(r);
  const std::string before = get(port, "/api/now-playing").body;
  EXPECT_NE(before.find("\"controls\":[\"playPause\",\"pause\"]"), std::string::npos) << before;
  EXPECT_NE(before.find("\"showAt\":null"), std::string::npos) << before;
  for (const char* bad : {"not json", "[]", "{}", "{\"action\":1}", "{\"action\":\"stop\"}"}) {
    HttpResponse res = control(bad);
    EXPECT_EQ(res.status, 400) << bad;
    EXPECT_NE(res.body.find("\"ok\":false"), std::string::npos) << res.body;
  }
  // What the player does not take is never sent.
  HttpResponse refused = control("{\"action\":\"next\"}");
  EXPECT_EQ(refused.status, 422);
  EXPECT_NE(refused.body.find("\"error\":"), std::string::npos) << refused.body;
  EXPECT_TRUE(player.sent.empty());
  EXPECT_EQ(get(port, "/api/now-playing").body, before);

  HttpResponse done = control("{\"action\":\"pause\"}");
  EXPECT_EQ(done.status, 200);
  EXPECT_EQ(done.body, "{\"ok\":true,\"source\":\"smtc:spotify\"}");
  ASSERT_EQ(player.sent.size(), 1u);
  EXPECT_EQ(player.sent[0], std::make_pair(std::string("smtc:spotify"), uint32_t{kControlPause}));
  player.refusal = "the player did not answer";
  EXPECT_EQ(control("{\"action\":\"playPause\"}").status, 502);

  // "show" takes any source, and tells the cards through the document.
  SourceRecord demo = playing("demo", "B", "U");
  demo.kind = kKindMock;
  hub.removeSource("smtc:spotify");
  hub.putSource(demo);
  EXPECT_EQ(control("{\"action\":\"show\"}").body, "{\"ok\":true,\"source\":\"demo\"}");
  const std::string shown = get(port, "/api/now-playing").body;
  EXPECT_EQ(shown.find("\"showAt\":null"), std::string::npos) << shown;
  EXPECT_NE(shown.find("\"controls\":[]"), std::string::npos) << shown;
  EXPECT_EQ(control("{\"action\":\"play\"}").status, 422);
}

// The owner stops the server as soon as the shutdown handler asks for it; the answer must still
// arrive when the handler's worker is slower than that stop.
TEST_F(ServerTest, ShutdownIsAnsweredWhenTheStopOvertakesTheHandler) {
  std::thread stopper;
  onShutdown = [&] {
    stopper = std::thread([&] { server.stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  };
  HttpResponse bye = post(port, "/api/shutdown", "", {{"X-Tunelight-Token", kToken}});
  stopper.join();
  EXPECT_EQ(bye.status, 200);
  EXPECT_EQ(bye.body, "{\"ok\":true}");
}

TEST_F(ServerTest, IngestRoutesNeedAnExtensionOrigin) {
  EXPECT_EQ(post(port, "/api/ingest", "{}").status, 403);
  EXPECT_EQ(post(port, "/api/ingest", "{}", {{"Origin", "http://localhost"}}).status, 403);
  HttpResponse r = post(port, "/api/ingest", "not json", {{"Origin", "moz-extension://"}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(r.body, "{\"ok\":false}");

  EXPECT_EQ(post(port, "/api/ingest/cover", "x", {{"Content-Type", "image/png"}}).status, 403);
  // Not an allowed cover (no url): rejected by the intake with 400, no body.
  HttpResponse cover = post(port, "/api/ingest/cover", "x",
                            {{"Origin", "chrome-extension://id"}, {"Content-Type", "image/png"}});
  EXPECT_EQ(cover.status, 400);
  EXPECT_EQ(cover.body, "");
}

TEST_F(ServerTest, ReadRoutes) {
  HttpResponse root = get(port, "/");
  EXPECT_EQ(root.status, 302);
  EXPECT_EQ(root.header("Location"), "/widget");
  EXPECT_EQ(root.body, "");

  HttpResponse idle = get(port, "/api/now-playing");
  EXPECT_EQ(idle.status, 200);
  EXPECT_EQ(idle.body, kInactive);
  EXPECT_EQ(idle.header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(idle.header("Cache-Control"), "no-store");

  // Text that is not valid UTF-8 fails no route.
  hub.putSource(playing("smtc:Spotify.exe", "Artist \xc3", "Song \xff\xfe"));
  HttpResponse now = get(port, "/api/now-playing");
  EXPECT_EQ(now.status, 200);
  EXPECT_EQ(now.body, hub.snapshot().first);
  HttpResponse history = get(port, "/api/history?x=1");
  EXPECT_EQ(history.status, 200);
  EXPECT_EQ(history.body, hub.historyJson());
  EXPECT_EQ(history.header("Cache-Control"), "no-store");
  EXPECT_EQ(history.header("Content-Type"), "application/json; charset=utf-8");

  // Widget files come from the compiled table; a name the table lacks is 404.
  HttpResponse page = get(port, "/widget?theme=vinyl");
  if (const WidgetAsset* index = findWidgetAsset("index.html")) {
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, std::string(reinterpret_cast<const char*>(index->data), index->size));
    EXPECT_EQ(page.header("Content-Type"), index->contentType);
    EXPECT_EQ(page.header("Cache-Control"), "no-cache");
    EXPECT_EQ(get(port, "/widget/index.html").body, page.body);
  } else {
    EXPECT_EQ(page.status, 404);
  }
  EXPECT_EQ(get(port, "/widget/APP.JS").status, 404);
  EXPECT_EQ(get(port, "/widget/").status, 404);
  EXPECT_EQ(get(port, "/widget/..").status, 404);
}

TEST_F(ServerTest, HealthDocument) {
  EXPECT_EQ(get(port, "/api/health").body,
            "{\"name\":\"tunelight\",\"port\":" + std::to_string(port) +
                ",\"sources\":[],\"version\":\"9.8.7\"}");

  // Filtered out (a browser session of no known service), yet listed.
  SourceRecord stopped = playing("smtc:tab", "B", "Quiet");
  stopped.kind = kKindMediaBrowser;
  stopped.service = static_cast<ServiceId>(42);
  stopped.status = kStatusStopped;
  stopped.app = "firefox";
  stopped.player = "";
  hub.putSource(stopped);
  hub.putSource(playing("smtc:a", "Blocked Artist", "Loud \xff"));
  FilterSettings s;
  s.blocklist = {"blocked artist"};
  s.browserWithoutExtension = false;
  hub.setSettings(s);

  HttpResponse r = get(port, "/api/health");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Cache-Control"), "no-store");
  // Text that is not valid UTF-8 is written as U+FFFD rather than failing the route.
  EXPECT_EQ(r.body,
            "{\"hidden\":{\"artist\":\"Blocked Artist\",\"service\":\"spotify\",\"title\":"
            "\"Loud \xef\xbf\xbd\"},\"name\":\"tunelight\",\"port\":" +
                std::to_string(port) +
                ",\"sources\":[{\"app\":\"spotify\",\"id\":\"smtc:a\",\"kind\":\"smtc-app\","
                "\"player\":\"Spotify\",\"service\":\"spotify\",\"status\":\"playing\","
                "\"title\":\"Loud \xef\xbf\xbd\"},{\"app\":\"firefox\",\"id\":\"smtc:tab\","
                "\"kind\":\"smtc-browser\",\"player\":\"\",\"service\":\"unknown\","
                "\"status\":\"stopped\",\"title\":\"Quiet\"}],\"version\":\"9.8.7\"}");
  EXPECT_EQ(get(port, "/api/now-playing").status, 200);

  // A playing video player that its switch hides: named with that switch, added last.
  s.blocklist.clear();
  hub.setSettings(s);
  hub.removeSource("smtc:a");
  SourceRecord film = playing("smtc:mpv", "", "Film");
  film.service = kServiceOther;
  film.isVideo = true;
  film.player = "mpv";
  hub.putSource(film);
  const std::string body = get(port, "/api/health").body;
  EXPECT_NE(body.find("\"filtered\":{\"artist\":\"\",\"player\":\"mpv\",\"service\":\"other\","
                      "\"switch\":\"videoPlayers\",\"title\":\"Film\"},\"name\":"),
            std::string::npos)
      << body;
}

TEST_F(ServerTest, Covers) {
  const std::string bytes("\x89PNG\r\n\x1a\n\0\x01", 10);
  const std::string id = hub.putCover("image/png", bytes);
  HttpResponse r = get(port, "/cover/" + id);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, bytes);
  EXPECT_EQ(r.header("Content-Type"), "image/png");
  EXPECT_EQ(r.header("Cache-Control"), "public, max-age=31536000, immutable");

  std::string upper = id;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  EXPECT_EQ(get(port, "/cover/" + upper).status, upper == id ? 200 : 404);
  EXPECT_EQ(get(port, "/cover/0123456789abcdef").status, 404);
  EXPECT_EQ(get(port, "/cover/" + id + "0").status, 404);
  EXPECT_EQ(get(port, "/cover/" + id).body, bytes);
}

TEST_F(ServerTest, AnswersAreNeverCompressed) {
  const test::HeaderList gzip = {{"Accept-Encoding", "gzip, deflate, br"}};
  hub.putSource(playing("smtc:a", "Artist", std::string(2000, 'x')));
  std::vector<HttpResponse> answers = {
      get(port, "/api/now-playing", gzip),
      get(port, "/api/health", gzip),
      get(port, "/widget", gzip),
      get(port, "/widget/style.css", gzip),
      rawRequest(port, "GET", "/", {{"Host", "bad"}, {"Accept-Encoding", "gzip, deflate, br"}}),
      post(port, "/api/config", std::string(2000, ' '),
           {{"X-Tunelight-Token", kToken}, {"Accept-Encoding", "gzip, deflate, br"}}),
      post(port, "/api/ingest", std::string(2000, '{'),
           {{"Origin", "moz-extension://a"}, {"Accept-Encoding", "br"}})};
  for (const HttpResponse& r : answers) {
    EXPECT_FALSE(r.has("Content-Encoding")) << r.status << " " << r.header("Content-Type");
  }
  EXPECT_EQ(answers[0].body, hub.snapshot().first);
  EXPECT_EQ(answers[4].body, "forbidden");

  auto events = test::RawConnection(port);
  events.send("GET /events HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
              "\r\nAccept-Encoding: gzip, deflate, br\r\n\r\n");
  ASSERT_TRUE(events.readUntil(hasFirstEvent, 3000));
  EXPECT_EQ(events.buffer().find("Content-Encoding"), std::string::npos);
  EXPECT_NE(events.buffer().find("data: " + hub.snapshot().first + "\n\n"), std::string::npos);
}

TEST_F(ServerTest, EventStreamSendsStateThenChanges) {
  auto c = openEvents(port);
  ASSERT_TRUE(c->readUntil(hasFirstEvent, 3000));
  HttpResponse head = test::parseResponse(c->buffer());
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Type"), "text/event-stream");
  EXPECT_EQ(head.header("Cache-Control"), "no-store");
  EXPECT_EQ(head.header("Transfer-Encoding"), "chunked");
  EXPECT_FALSE(head.has("Content-Length"));
  EXPECT_EQ(head.body, "retry: 1000\ndata: " + kInactive + "\n\n");

  hub.putSource(playing("smtc:a", "Artist", "One"));
  const std::string one = "data: " + hub.snapshot().first + "\n\n";
  ASSERT_TRUE(c->readUntil(
      [&](const std::string& b) { return test::parseResponse(b).body.size() > head.body.size(); },
      3000));
  EXPECT_EQ(test::parseResponse(c->buffer()).body, head.body + one);

  // A burst of changes: the stream ends on the latest state and never repeats a state.
  for (int i = 0; i < 50; ++i)
    hub.putSource(playing("smtc:a", "Artist", "Burst " + std::to_string(i)));
  const std::string last = "data: " + hub.snapshot().first + "\n\n";
  ASSERT_TRUE(c->readUntilContains(last.substr(0, last.size() - 2), 3000));
  c->readUntil([](const std::string&) { return false; }, 150);
  std::string body = test::parseResponse(c->buffer()).body.substr(head.body.size() + one.size());
  std::vector<std::string> messages;
  for (size_t p = 0; p < body.size();) {
    size_t end = body.find("\n\n", p);
    ASSERT_NE(end, std::string::npos);
    messages.push_back(body.substr(p, end + 2 - p));
    p = end + 2;
  }
  ASSERT_FALSE(messages.empty());
  EXPECT_LE(messages.size(), 50u);
  EXPECT_EQ(messages.back(), last);
  for (size_t i = 1; i < messages.size(); ++i) EXPECT_NE(messages[i], messages[i - 1]);
}

TEST_F(ServerTest, StopEndsOpenStreamsAndIdleConnectionsPromptly) {
  std::vector<std::unique_ptr<test::RawConnection>> streams;
  for (int i = 0; i < 6; ++i) {
    streams.push_back(openEvents(port));
    ASSERT_TRUE(streams.back()->readUntil(hasFirstEvent, 3000));
  }
  // A kept-alive connection that is idle between two requests.
  auto idle = std::make_unique<test::RawConnection>(port);
  for (int i = 0; i < 2; ++i) {
    idle->send("GET /api/now-playing HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
               "\r\n\r\n");
    ASSERT_TRUE(idle->readUntilContains(kInactive, 3000));
    idle->buffer().clear();
  }
  streams.push_back(std::move(idle));
  auto t0 = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  for (auto& s : streams) EXPECT_TRUE(s->readUntilClosed(1000));
  EXPECT_FALSE(test::RawConnection(port).ok());
  server.stop();  // a second stop does nothing
}

// Streams do not hold workers: far more of them than workers, and requests still flow.
TEST_F(ServerTest, StreamsDoNotHoldWorkers) {
  std::vector<std::unique_ptr<test::RawConnection>> streams;
  for (int i = 0; i < 40; ++i) streams.push_back(openEvents(port));
  for (auto& s : streams) ASSERT_TRUE(s->readUntil(hasFirstEvent, 3000));
  EXPECT_EQ(get(port, "/api/now-playing").status, 200);
  hub.putSource(playing("smtc:a", "A", "For All"));
  for (auto& s : streams) EXPECT_TRUE(s->readUntilContains("For All", 3000));

  // HEAD gets the stream's head only, and the connection serves the next request.
  test::RawConnection head(port);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  head.send("HEAD /events HTTP/1.1\r\n" + host + "\r\nGET /api/history HTTP/1.1\r\n" + host +
            "Connection: close\r\n\r\n");
  ASSERT_TRUE(head.readUntilClosed(3000));
  EXPECT_EQ(test::parseResponse(head.buffer()).status, 200);
  EXPECT_NE(head.buffer().find(hub.historyJson()), std::string::npos);
}

// Requests split anywhere, or several in one packet, are answered in order on one connection.
TEST_F(ServerTest, HeadsInPiecesAndPipelinedRequests) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const std::string body = "not json";
  const std::string request =
      "POST /api/ingest HTTP/1.1\r\n" + host +
      "Origin: moz-extension://a\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
      body;
  test::RawConnection c(port);
  for (char ch : request) {
    c.send(std::string(1, ch));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ASSERT_TRUE(c.readUntilContains("{\"ok\":false}", 3000));
  c.buffer().clear();
  c.send(request + "GET /api/now-playing HTTP/1.1\r\n" + host + "\r\n" + request.substr(0, 20));
  ASSERT_TRUE(c.readUntilContains(kInactive, 3000));
  const std::string& b = c.buffer();
  EXPECT_LT(b.find("{\"ok\":false}"), b.find(kInactive));
  c.buffer().clear();
  c.send(request.substr(20));
  EXPECT_TRUE(c.readUntilContains("{\"ok\":false}", 3000));
}

// Partial answers are never given: the whole document, status 200, whatever Range says.
TEST_F(ServerTest, RangeIsIgnored) {
  for (const std::string range :
       {"bytes=0-3", "bytes=-2", "bytes=5-1", "pages=1", "bytes=0-1,4-5"}) {
    for (const std::string path : {"/api/now-playing", "/widget/app.js", "/widget"}) {
      HttpResponse r = get(port, path, {{"rAnGe", range}});
      EXPECT_EQ(r.status, path == "/api/now-playing" || findWidgetAsset("index.html") ? 200 : 404)
          << path << " " << range;
      EXPECT_FALSE(r.has("Content-Range"));
      if (path == "/api/now-playing") {
        EXPECT_EQ(r.body, kInactive);
      }
    }
  }
  EXPECT_FALSE(
      rawRequest(port, "HEAD", "/api/now-playing", test::withHost(port)).has("Accept-Ranges"));
}

// Too large, unmeasurable or compressed bodies are refused from the head alone, the handler
// never runs, and the connection closes (its unread body could not be told from a request).
TEST_F(ServerTest, BodiesAreLimitedBeforeTheyAreRead) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const std::string token = "X-Tunelight-Token: " + kToken + "\r\n";
  struct Case {
    std::string head;
    int status;
  };
  const std::vector<Case> cases = {
      {"POST /api/config HTTP/1.1\r\n" + host + token + "Content-Length: 65537\r\n", 413},
      {"POST /api/ingest HTTP/1.1\r\n" + host +
           "Origin: moz-extension://a\r\n"
           "Content-Length: 65537\r\n",
       413},
      {"POST /api/ingest/cover?url=u HTTP/1.1\r\n" + host +
           "Origin: moz-extension://a\r\n"
           "Content-Type: image/png\r\nContent-Length: 5000000\r\n",
       413},
      {"POST /api/config HTTP/1.1\r\n" + host + token + "Transfer-Encoding: chunked\r\n", 411},
      {"POST /api/config HTTP/1.1\r\n" + host + token +
           "Content-Encoding: gzip\r\n"
           "Content-Length: 10\r\n",
       415},
      {"POST /api/config HTTP/1.1\r\n" + host + token +
           "Expect: 100-continue\r\n"
           "Content-Length: 99999999\r\n",
       413}};
  for (const Case& k : cases) {
    test::RawConnection c(port);
    c.send(k.head + "\r\n" + "GET /api/health HTTP/1.1\r\n" + host + "\r\n");
    ASSERT_TRUE(c.readUntilClosed(3000)) << k.head;
    HttpResponse r = test::parseResponse(c.buffer());
    EXPECT_EQ(r.status, k.status) << k.head;
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.header("Connection"), "close");
    EXPECT_FALSE(r.has("Keep-Alive"));
  }
  EXPECT_EQ(configCalls, 0);
  // At the limits the bodies are taken.
  EXPECT_EQ(
      post(port, "/api/config", std::string(65536, ' '), {{"X-Tunelight-Token", kToken}}).status,
      200);
  EXPECT_EQ(configCalls, 1);
  EXPECT_EQ(post(port, "/api/ingest/cover", std::string(kCoverMaxBytes + 1, 'x'),
                 {{"Origin", "moz-extension://a"}, {"Content-Type", "image/png"}})
                .status,
            400);  // read and refused by the intake (too large for a cover), not by the server
}

TEST(ServerStartTest, PortsInUseAreSkippedAndNoTokenMeansNoControlRoutes) {
  std::vector<int> ports = test::freePorts(3);
  test::PortHolder held(ports[0]);
  ASSERT_TRUE(held.ok());
  Hub hub{50};
  Server server(hub, "1");
  EXPECT_EQ(server.port(), 0);
  ASSERT_EQ(server.start(ports), ports[1]);
  EXPECT_EQ(server.baseUrl(), "http://127.0.0.1:" + std::to_string(ports[1]));
  EXPECT_EQ(post(ports[1], "/api/config", "{}", {{"X-Tunelight-Token", ""}}).status, 404);
  EXPECT_EQ(post(ports[1], "/api/shutdown", "").status, 404);
  EXPECT_EQ(post(ports[1], "/api/control", "{}", {{"X-Tunelight-Token", ""}}).status, 404);
  EXPECT_EQ(post(ports[1], "/api/ingest", "{}", {{"Origin", "moz-extension://"}}).status, 404);

  // A second server never shares a port that the first one holds.
  Server second(hub, "1");
  EXPECT_EQ(second.start({ports[1]}), 0);
  EXPECT_EQ(second.port(), 0);
  second.stop();
  server.stop();
  // Once stopped (after serving a connection), the port can be bound again at once.
  Server third(hub, "1");
  EXPECT_EQ(third.start({ports[1]}), ports[1]);
}

}  // namespace
}  // namespace tunelight
