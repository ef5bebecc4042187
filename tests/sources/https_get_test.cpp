// Downloads from a local HTTPS server whose certificate the test makes.
#ifndef _WIN32

#include "agent/sources/https_get.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/log.h"
#include "agent/sources/cover_allowlist.h"
#include "agent/sources/https_test_ca.h"
#include "tests/support/agent_process.h"

namespace tunelight {
namespace {

using test::ChildProcess;
using test::TempDir;

const char kServer[] = R"PY(
import http.server, os, ssl, sys, time
d = sys.argv[1]
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a):
        pass
    def reply(self, code, body, ctype=None, extra=()):
        self.send_response(code)
        if ctype is not None:
            self.send_header("Content-Type", ctype)
        for k, v in extra:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self):
        with open(os.path.join(d, "requests.log"), "a") as f:
            f.write(self.path + " " + self.headers.get("User-Agent", "") + "\n")
        p = self.path
        if p == "/png":
            self.reply(200, b"PNGDATA", "image/png; charset=binary")
        elif p == "/plain":
            self.reply(200, b"DATA")
        elif p == "/missing":
            self.reply(404, b"nope", "text/plain")
        elif p == "/empty":
            self.reply(200, b"", "image/png")
        elif p.startswith("/size/"):
            self.reply(200, b"x" * int(p[6:]), "image/jpeg")
        elif p == "/stall":
            time.sleep(60)
        elif p == "/latin":
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: image/p\xe9ng\r\n"
                             b"Content-Length: 1\r\n\r\nD")
        elif p == "/to-png":
            self.reply(302, b"", "text/plain", [("Location", "/png")])
        elif p == "/to-http":
            port = self.server.server_address[1]
            self.reply(302, b"", "text/plain",
                       [("Location", "http://127.0.0.1:%d/png" % port)])
        else:
            self.reply(500, b"")
srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), H)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(os.path.join(d, "cert.pem"), os.path.join(d, "key.pem"))
srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
with open(os.path.join(d, "port.tmp"), "w") as f:
    f.write(str(srv.server_address[1]))
os.rename(os.path.join(d, "port.tmp"), os.path.join(d, "port"))
srv.serve_forever()
)PY";

std::mutex logMu;
std::vector<std::string> logLines;
void captureSink(int32_t, const std::string& message) {
  std::lock_guard<std::mutex> lock(logMu);
  logLines.push_back(message);
}

class HttpsGetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::fileExists("/usr/bin/python3") || !test::fileExists("/usr/bin/openssl")) return;
    dir = new TempDir();
    ChildProcess gen("/usr/bin/openssl",
                     {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                      "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                      dir->file("key.pem"), "-out", dir->file("cert.pem")},
                     dir->file("openssl.out"));
    if (gen.waitExit(30000) != 0) return;
    std::ofstream(dir->file("server.py")) << kServer;
    server = new ChildProcess("/usr/bin/python3", {dir->file("server.py"), dir->path()},
                              dir->file("server.out"));
    port = test::waitForPortFile(dir->file("port"), 10000);
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
    delete dir;
    dir = nullptr;
  }
  void SetUp() override {
    if (port == 0) GTEST_SKIP() << "no local HTTPS server (python3 and openssl needed)";
    setHttpsTestCaFile(dir->file("cert.pem"));
    previous = setSink(captureSink);
    clearLog();
  }
  void TearDown() override {
    if (port == 0) return;
    setSink(previous);
    setHttpsTestCaFile("");
  }
  static std::string url(const std::string& path) {
    return "https://127.0.0.1:" + std::to_string(port) + path;
  }
  static void clearLog() {
    std::lock_guard<std::mutex> lock(logMu);
    logLines.clear();
  }
  static std::vector<std::string> logged() {
    std::lock_guard<std::mutex> lock(logMu);
    return logLines;
  }
  static std::string requests() { return test::readFile(dir->file("requests.log")); }

  static TempDir* dir;
  static ChildProcess* server;
  static int port;
  LogSink previous = nullptr;
};

TempDir* HttpsGetTest::dir = nullptr;
ChildProcess* HttpsGetTest::server = nullptr;
int HttpsGetTest::port = 0;

TEST_F(HttpsGetTest, OkResponsesWithAndWithoutContentType) {
  HttpsResult r = httpsGet(url("/png"), 1000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.contentType, "image/png");
  EXPECT_EQ(r.body, "PNGDATA");

  r = httpsGet(url("/plain"), 1000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.contentType, "");
  EXPECT_EQ(r.body, "DATA");

  r = httpsGet(url("/latin"), 1000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.contentType, "image/p?ng");

  r = httpsGet(url("/to-png"), 1000);  // a redirect to https is followed
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.body, "PNGDATA");

  EXPECT_NE(requests().find("/png Tunelight/1.0\n"), std::string::npos);
  EXPECT_TRUE(logged().empty());
}

TEST_F(HttpsGetTest, FailuresAndTheirLogLines) {
  HttpsResult r = httpsGet(url("/missing"), 1000);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(logged(), std::vector<std::string>{"https: HTTP status 404"});

  clearLog();
  EXPECT_FALSE(httpsGet(url("/empty"), 1000).ok);  // empty body: no log line
  EXPECT_TRUE(logged().empty());
  EXPECT_FALSE(httpsGet(url("/to-http"), 1000).ok);  // redirects stay on https

  clearLog();
  const std::string before = requests();
  EXPECT_FALSE(httpsGet("http://127.0.0.1:" + std::to_string(port) + "/png", 1000).ok);
  EXPECT_FALSE(httpsGet("HTTPS://127.0.0.1:" + std::to_string(port) + "/png", 1000).ok);
  EXPECT_FALSE(httpsGet("https:/", 1000).ok);
  EXPECT_EQ(requests(), before);  // nothing was sent
  EXPECT_TRUE(logged().empty());

  EXPECT_FALSE(httpsGet("https://127.0.0.1:99999999/png", 1000).ok);
  ASSERT_EQ(logged().size(), 1u);
  EXPECT_EQ(logged()[0].rfind("https: bad url, error ", 0), 0u);
}

TEST_F(HttpsGetTest, UntrustedCertificateFailsTheRequest) {
  setHttpsTestCaFile("");  // the system store does not know the test certificate
  EXPECT_FALSE(httpsGet(url("/png"), 1000).ok);
  ASSERT_EQ(logged().size(), 1u);
  EXPECT_EQ(logged()[0].rfind("https: request failed, error ", 0), 0u);
}

TEST_F(HttpsGetTest, BodyLimitIsExact) {
  std::string type, body = "untouched";
  ASSERT_TRUE(coverFetcher(url("/size/" + std::to_string(kCoverMaxBytes)), type, body));
  EXPECT_EQ(body.size(), kCoverMaxBytes);
  EXPECT_EQ(type, "image/jpeg");

  type = "kept";
  body = "kept";
  EXPECT_FALSE(coverFetcher(url("/size/" + std::to_string(kCoverMaxBytes + 1)), type, body));
  EXPECT_EQ(type, "kept");
  EXPECT_EQ(body, "kept");
  EXPECT_TRUE(httpsGet(url("/size/10"), 10).ok);
  EXPECT_FALSE(httpsGet(url("/size/11"), 10).ok);
  EXPECT_TRUE(logged().empty());
}

TEST_F(HttpsGetTest, CancelEndsAStalledTransferPromptly) {
  // A listener that never accepts: the TLS handshake never gets an answer.
  int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(silent, 4), 0);
  ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const std::string handshake = "https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x";

  // Without a cancel the transfers would wait for their 3 s and 5 s time-outs.
  for (const std::string& u : {url("/stall"), handshake}) {
    std::atomic<bool> cancel{false};
    const auto t0 = std::chrono::steady_clock::now();
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      cancel = true;
    });
    const HttpsResult r = httpsGet(u, 1000, &cancel);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    stopper.join();
    EXPECT_FALSE(r.ok) << u;
    EXPECT_LT(took, 1000) << u;  // ~300 ms on an idle machine
  }
  ::close(silent);
  EXPECT_NE(requests().find("/stall "), std::string::npos);  // the request itself was sent

  // A flag that is already set: nothing is requested.
  const std::string before = requests();
  std::atomic<bool> cancel{true};
  EXPECT_FALSE(httpsGet(url("/png"), 1000, &cancel).ok);
  EXPECT_EQ(requests(), before);
  EXPECT_TRUE(logged().empty());  // a cancelled transfer is not a failure worth a line
}

}  // namespace
}  // namespace tunelight

#endif  // _WIN32
