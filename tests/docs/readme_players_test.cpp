// The README's list of supported players is the one the identification tables give.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "agent/sources/player_list.h"

namespace {

TEST(ReadmePlayers, ListMatchesTheIdentificationTables) {
  std::ifstream in(std::string(TUNELIGHT_SOURCE_DIR) + "/README.md", std::ios::binary);
  ASSERT_TRUE(in) << "README.md not found";
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string readme = ss.str();
  const std::string begin = "<!-- players:begin -->\n", end = "<!-- players:end -->";
  const size_t b = readme.find(begin), e = readme.find(end);
  ASSERT_NE(b, std::string::npos);
  ASSERT_NE(e, std::string::npos);
  const std::string listed = readme.substr(b + begin.size(), e - b - begin.size());
  EXPECT_EQ(listed, tunelight::supportedPlayersMarkdown() + "\n")
      << "README's player list is out of date: run scripts/players-list.sh";
}

}  // namespace
