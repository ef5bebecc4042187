#include "agent/log.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/agent_process.h"

namespace tunelight {
namespace {

using test::readFile;
using test::TempDir;

TEST(LogFile, RotatesAtTheCapIntoOneOlderFile) {
  TempDir tmp;
  const std::string path = tmp.file("agent.log");
  int64_t now = 0;
  LogFile file(path, 40, [&] { return now; });

  file.write(kLogInfo, "first line 0123");  // 23 bytes with "[info] " and the line end
  file.write(kLogInfo, "second line 012");  // 23 more would pass 40: rotate first
  EXPECT_EQ(readFile(path + ".1"), "[info] first line 0123\n");
  EXPECT_EQ(readFile(path), "[info] second line 012\n");

  file.write(kLogInfo, "third");  // fits: 23 + 13 <= 40
  file.write(kLogInfo, "fourth line");
  // The older file is replaced, never appended to; nothing is kept beyond one rotation.
  EXPECT_EQ(readFile(path + ".1"), "[info] second line 012\n[info] third\n");
  EXPECT_EQ(readFile(path), "[info] fourth line\n");

  // A single line longer than the cap still gets written, to a fresh file.
  const std::string longLine(100, 'x');
  file.write(kLogInfo, longLine);
  file.write(kLogInfo, "after");
  EXPECT_EQ(readFile(path + ".1"), "[info] " + longLine + "\n");
  EXPECT_EQ(readFile(path), "[info] after\n");
}

TEST(LogFile, IdenticalWarningsAreWrittenThreeTimesAMinuteWithACount) {
  TempDir tmp;
  const std::string path = tmp.file("agent.log");
  int64_t now = 1000;
  LogFile file(path, 1 << 20, [&] { return now; });

  for (int i = 0; i < 5; ++i) file.write(kLogWarning, "disk full");
  file.write(kLogError, "disk full");  // another level is another line
  for (int i = 0; i < 4; ++i) file.write(kLogInfo, "info lines are never held back");
  EXPECT_EQ(readFile(path),
            "[warning] disk full\n[warning] disk full\n[warning] disk full\n[error] disk full\n"
            "[info] info lines are never held back\n[info] info lines are never held back\n"
            "[info] info lines are never held back\n[info] info lines are never held back\n");

  now += 59999;
  file.write(kLogWarning, "disk full");  // still within the minute: counted
  now += 1;
  file.write(kLogWarning, "disk full");  // a new minute: written with the count
  for (int i = 0; i < 3; ++i) file.write(kLogWarning, "disk full");
  now += 60000;
  file.write(kLogWarning, "disk full");
  const std::string log = readFile(path);
  EXPECT_EQ(log.substr(log.rfind("[info]")),
            "[info] info lines are never held back\n"
            "[warning] disk full (3 more since the last such line)\n"
            "[warning] disk full\n[warning] disk full\n"
            "[warning] disk full (1 more since the last such line)\n");
}

TEST(LogFile, ManyDistinctWarningsAreAllWritten) {
  TempDir tmp;
  const std::string path = tmp.file("agent.log");
  LogFile file(path, 1 << 20, [] { return 0; });
  std::string expected;
  for (int i = 0; i < 600; ++i) {
    file.write(kLogWarning, "cover download failed: " + std::to_string(i));
    expected += "[warning] cover download failed: " + std::to_string(i) + "\n";
  }
  EXPECT_EQ(readFile(path), expected);
}

}  // namespace
}  // namespace tunelight
