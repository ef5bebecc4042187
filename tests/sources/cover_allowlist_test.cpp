#include "agent/sources/cover_allowlist.h"

#include <gtest/gtest.h>

#include <string>

namespace tunelight {
namespace {

TEST(CoverAllowlistTest, AcceptsEachServiceHostShape) {
  const char* accepted[] = {
      "https://avatars.yandex.net/get-music-content/193823/1820a43e.a.5517056-1/m1000x1000",
      "https://i.scdn.co/image/ab67616d0000b273051d84b6cac537e613b6d5a9",
      "https://sun9-44.vkuserphoto.ru/s/v1/ig2/abc.jpg?quality=95&as=32x32",
      "https://sun6-20.userapi.com/impg/aEtrl6oa/Sd_F1ubrL_8.jpg?size=1052x565",
      "https://lh3.googleusercontent.com/abc=w544-h544-l90-rj",
      "https://yt3.googleusercontent.com/abc=s48",
      "https://i.ytimg.com/vi/dQw4w9WgXcQ/hqdefault.jpg",
      "https://i9.ytimg.com/vi/dQw4w9WgXcQ/mqdefault.jpg",
      "https://i.sndcdn.com/artworks-000570669863-fbh69r-t500x500.jpg",
      "https://i1.sndcdn.com/artworks-000570669863-fbh69r-t500x500.jpg",
      "https://i12.sndcdn.com/artworks-x-t500x500.jpg",
      "https://is1-ssl.mzstatic.com/image/thumb/Music125/v4/98/x/600x600bb.jpg",
      "https://is5.mzstatic.com/image/thumb/x.jpg",
      "https://e-cdns-images.dzcdn.net/images/cover/2e018122/56x56-000000-80-0-0.jpg",
      "https://cdn-images.dzcdn.net/images/cover/2675a927/500x500-000000-80-0-0.jpg",
      "https://resources.tidal.com/images/40ebd205/803e/4082/b300/fc462c0cf90d/750x750.jpg",
      "https://m.media-amazon.com/images/I/814DrJ8lFlL.jpg",
      "https://cdn51.zvuk.com/pic?type=release&id=3322849&ext=jpg&size=600x600",
      "https://cdn.zvuk.com/pic?id=1",
      "https://i.scdn.co/x",  // one character of path is enough
  };
  for (const char* url : accepted) EXPECT_TRUE(isAllowedCoverUrl(url)) << url;
}

TEST(CoverAllowlistTest, RefusesEverythingElse) {
  const char* refused[] = {
      "http://i.scdn.co/image/abc",            // plain http
      "HTTPS://i.scdn.co/image/abc",           // upper-case scheme
      "https://I.SCDN.CO/image/abc",           // upper-case host
      "https://i.scdn.co:443/image/abc",       // port
      "https://i.scdn.co/",                    // empty path
      "https://i.scdn.co/image/a b",           // space in the path
      "https://i.scdn.co/image/a\tb",          // tab in the path
      " https://i.scdn.co/image/abc",          // leading blank
      "https://i.scdn.co/image/abc\n",         // trailing line feed
      "https://user@i.scdn.co/image/abc",      // user info
      "https://i.scdn.co.evil.example/x",      // allowlisted name as a prefix
      "https://a.b.vkuserphoto.ru/x",          // two labels before the VK domain
      "https://vkuserphoto.ru/x",              // no label
      "https://lh10.googleusercontent.com/x",  // two digits
      "https://lh.googleusercontent.com/x",    // no digit
      "https://i10.ytimg.com/x",               // at most one digit
      "https://img.ytimg.com/x",
      "https://is-ssl.mzstatic.com/x",  // "is" needs a digit
      "https://is1-tls.mzstatic.com/x",
      "https://cdnx.zvuk.com/x",
      "https://cdn-image.zvuk.com/pic?id=1",
      "https://images.tidal.com/x",
      "https://media-amazon.com/x",
      "",
  };
  for (const char* url : refused) EXPECT_FALSE(isAllowedCoverUrl(url)) << url;
}

TEST(CoverAllowlistTest, PathLengthLimit) {
  const std::string base = "https://i.scdn.co/";
  EXPECT_TRUE(isAllowedCoverUrl(base + std::string(1500, 'a')));
  EXPECT_FALSE(isAllowedCoverUrl(base + std::string(1501, 'a')));
}

}  // namespace
}  // namespace tunelight
