#include "agent/widget/widget_assets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace tunelight {
namespace {

std::string sourceFile(const std::string& name) {
  std::ifstream in(std::string(TUNELIGHT_SOURCE_DIR) + "/agent/widget/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(WidgetAssets, TableHoldsTheEightFilesWithTheirTypesAndExactBytes) {
  const char* expected[][2] = {
      {"index.html", "text/html; charset=utf-8"},
      {"style.css", "text/css; charset=utf-8"},
      {"app.js", "application/javascript; charset=utf-8"},
      {"placeholder.svg", "image/svg+xml"},
      {"onest-latin.woff2", "font/woff2"},
      {"onest-cyrillic.woff2", "font/woff2"},
      {"unbounded-latin.woff2", "font/woff2"},
      {"unbounded-cyrillic.woff2", "font/woff2"},
  };
  size_t n = 0;
  const WidgetAsset* table = widgetAssets(&n);
  ASSERT_EQ(n, 8u);
  for (size_t i = 0; i < n; ++i) {
    SCOPED_TRACE(expected[i][0]);
    EXPECT_STREQ(table[i].name, expected[i][0]);
    EXPECT_STREQ(table[i].contentType, expected[i][1]);
    // The compiled bytes are the file as committed, with no terminator added.
    std::string file = sourceFile(table[i].name);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(table[i].data), table[i].size), file);
    if (std::strstr(table[i].name, ".woff2")) {
      // WOFF2 with TrueType outlines.
      ASSERT_GE(table[i].size, 8u);
      EXPECT_EQ(std::memcmp(table[i].data, "wOF2\x00\x01\x00\x00", 8), 0);
    }
    EXPECT_EQ(findWidgetAsset(table[i].name), &table[i]);
  }
}

TEST(WidgetAssets, LookupIsExactAndCaseSensitive) {
  EXPECT_EQ(findWidgetAsset("APP.JS"), nullptr);
  EXPECT_EQ(findWidgetAsset("Index.html"), nullptr);
  EXPECT_EQ(findWidgetAsset("app.j"), nullptr);
  EXPECT_EQ(findWidgetAsset("app.jsx"), nullptr);
  EXPECT_EQ(findWidgetAsset(".."), nullptr);
  EXPECT_EQ(findWidgetAsset(""), nullptr);
  EXPECT_EQ(findWidgetAsset(std::string("app.js\0", 7)), nullptr);
}

}  // namespace
}  // namespace tunelight
