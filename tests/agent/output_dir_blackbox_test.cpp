// Output folders that cannot be used: the real agent keeps serving, says why once, leaves no
// temporary files behind and writes the files as soon as the folder can be used.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/http/raw_http.h"
#include "tests/support/agent_process.h"

namespace tunelight::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> tmpFilesUnder(const std::string& root) {
  std::vector<std::string> found;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec),
       end;
       it != end; it.increment(ec)) {
    if (ec) break;
    if (it->path().extension() == ".tmp") found.push_back(it->path().string());
  }
  return found;
}

// Temporary files that stay: a pass that is writing one right now does not count.
std::vector<std::string> lingeringTmpFiles(const std::string& root) {
  std::vector<std::string> first = tmpFilesUnder(root);
  if (first.empty()) return first;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<std::string> second = tmpFilesUnder(root), both;
  for (const std::string& f : first)
    if (std::find(second.begin(), second.end(), f) != second.end()) both.push_back(f);
  return both;
}

std::string reason(std::errc e) {
  return std::make_error_code(e).message();
}

// The agent started through `prefix` (a program that runs the rest of the line), in a temp dir
// that any user may write to.
struct Agent {
  TempDir dir;
  std::string token = "token-0123456789";
  std::unique_ptr<ChildProcess> process;
  int port = 0;

  explicit Agent(std::vector<std::string> prefix = {}) {
    chmod(dir.path().c_str(), 0777);
    std::vector<std::string> line = std::move(prefix);
    for (const std::string& a :
         {agentPath(), std::string("--token"), token, std::string("--port-file"),
          dir.file("agent.port"), std::string("--log-file"), dir.file("agent.log")})
      line.push_back(a);
    const std::string program = line.front();
    line.erase(line.begin());
    process = std::make_unique<ChildProcess>(program, line, dir.file("stderr.txt"));
    port = waitForPortFile(dir.file("agent.port"), 5000);
  }
  std::string log() const { return readFile(dir.file("agent.log")); }
  int config(const std::string& body) {
    return post(port, "/api/config", body, {{"X-Tunelight-Token", token}}).status;
  }
  int configDir(const std::string& outputDir) {
    return config(R"({"demo":true,"outputDir":")" + outputDir + "\"}");
  }
  void stop() {
    EXPECT_EQ(post(port, "/api/shutdown", "", {{"X-Tunelight-Token", token}}).status, 200);
    EXPECT_EQ(process->waitExit(3000), 0);
  }
};

// Points the agent at an unusable folder and checks what a user would see; then makes it usable
// with `repair` and expects the files in `usable`. `root` is the folder to search for temporary
// files; `view` is how this process sees the agent's paths.
void expectRecovery(Agent& a, const std::string& bad, const std::string& warning,
                    const std::function<void()>& repair, const std::string& usable,
                    const std::string& root, const std::string& view = "") {
  const std::string seen = view + root;
  ASSERT_GT(a.port, 0) << readFile(a.dir.file("stderr.txt"));
  ASSERT_EQ(a.configDir(bad), 200);
  ASSERT_TRUE(waitUntil([&] { return a.log().find(warning) != std::string::npos; }, 5000))
      << a.log();
  // Every pass fails again (about once a second); the log says it once a minute.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(countOf(a.log(), warning), 1u) << a.log();
  EXPECT_EQ(get(a.port, "/api/health").status, 200);
  EXPECT_EQ(lingeringTmpFiles(seen), std::vector<std::string>{});

  repair();
  if (usable != bad) {
    ASSERT_EQ(a.configDir(usable), 200);
  }
  const std::string files = view + usable;
  // nowplaying.json is the last file of a pass.
  EXPECT_TRUE(waitUntil(
      [&] { return readFile(files + "/nowplaying.json").find("Bohemian") != std::string::npos; },
      5000))
      << a.log();
  EXPECT_EQ(readFile(files + "/title.txt"), "Bohemian Rhapsody");
  EXPECT_EQ(lingeringTmpFiles(seen), std::vector<std::string>{});
  a.stop();
}

TEST(OutputDirBlackbox, ANameLongerThanTheSystemAllows) {
  Agent a;
  const std::string bad = a.dir.file(std::string(300, 'n') + "/out");
  expectRecovery(
      a, bad,
      "[warning] file output: cannot create " + bad + ": " + reason(std::errc::filename_too_long),
      [] {}, a.dir.file("good"), a.dir.path());
}

TEST(OutputDirBlackbox, AFileInTheWay) {
  Agent a;
  const std::string blocker = a.dir.file("blocker");
  std::ofstream(blocker) << "a file, not a folder";
  const std::string bad = blocker + "/out";
  expectRecovery(
      a, bad,
      "[warning] file output: cannot create " + bad + ": " + reason(std::errc::not_a_directory),
      [&] { fs::remove(blocker); }, bad, a.dir.path());
}

TEST(OutputDirBlackbox, AFolderTheAgentMayNotEnter) {
  std::vector<std::string> prefix;
  if (geteuid() == 0) {
    // Permissions do not stop root: run the agent as an unprivileged user.
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  Agent a(prefix);
  const std::string locked = a.dir.file("locked");
  fs::create_directory(locked);
  chmod(locked.c_str(), 0);
  const std::string bad = locked + "/out";
  expectRecovery(
      a, bad,
      "[warning] file output: cannot create " + bad + ": " + reason(std::errc::permission_denied),
      [&] { chmod(locked.c_str(), 0777); }, bad, a.dir.path());
}

TEST(OutputDirBlackbox, AFullDisk) {
  // A small file system of its own, mounted in a mount namespace of the agent's only.
  {
    TempDir probe;
    ChildProcess p("/usr/bin/unshare", {"--mount", "--propagation", "private", "mount", "-t",
                                        "tmpfs", "-o", "size=64k", "tmpfs", probe.path()});
    if (p.waitExit(5000) != 0)
      GTEST_SKIP() << "cannot mount a small tmpfs here (needs root and unshare)";
  }
  TempDir mountPoint;
  Agent a({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
           "mount -t tmpfs -o size=128k tmpfs \"$0\" && exec \"$@\"", mountPoint.path()});
  ASSERT_GT(a.port, 0) << readFile(a.dir.file("stderr.txt"));
  // This process sees the agent's mount through its root.
  const std::string view = "/proc/" + std::to_string(a.process->pid()) + "/root";
  const std::string seen = view + mountPoint.path();
  const std::string out = mountPoint.path() + "/out";
  ASSERT_TRUE(fs::create_directory(seen + "/out"));
  {
    std::FILE* filler = std::fopen((seen + "/filler").c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    const std::string block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
           std::fflush(filler) == 0) {
    }
    std::fclose(filler);
  }
  expectRecovery(
      a, out,
      "[warning] file output: cannot write " + out +
          "/track.txt: " + reason(std::errc::no_space_on_device),
      [&] { fs::remove(seen + "/filler"); }, out, mountPoint.path(), view);
}

}  // namespace
}  // namespace tunelight::test
