// MPRIS replies as players build them, read back from messages on a connection that never
// carries them anywhere.
#ifndef _WIN32

#include "agent/sources/mpris_properties.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tunelight {
namespace {

class MprisProperties : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peer = fds[1];
    ASSERT_GE(sd_bus_new(&bus), 0);
    ASSERT_GE(sd_bus_set_fd(bus, fds[0], fds[0]), 0);
    ASSERT_GE(sd_bus_start(bus), 0);  // messages can be built once it started
  }
  void TearDown() override {
    sd_bus_message_unref(m);
    sd_bus_close_unref(bus);
    ::close(peer);
  }
  sd_bus_message* fresh() {
    sd_bus_message_unref(m);
    m = nullptr;
    EXPECT_GE(sd_bus_message_new_method_call(bus, &m, "a.b", "/a", "a.b", "M"), 0);
    return m;
  }
  int read(MprisPlayerState& s) {
    EXPECT_GE(sd_bus_message_seal(m, 1, 0), 0);
    EXPECT_GE(sd_bus_message_rewind(m, true), 0);
    return readMprisPlayer(m, s);
  }

  sd_bus* bus = nullptr;
  sd_bus_message* m = nullptr;
  int peer = -1;
};

TEST_F(MprisProperties, ReadsEveryTypePlayersSendAndSkipsOthers) {
  sd_bus_message* b = fresh();
  sd_bus_message_open_container(b, 'a', "{sv}");
  sd_bus_message_append(b, "{sv}", "PlaybackStatus", "s", "Paused");
  sd_bus_message_append(b, "{sv}", "Volume", "d", 0.5);
  sd_bus_message_append(b, "{sv}", "Position", "x", int64_t{5'000'000});
  sd_bus_message_append(b, "{sv}", "Rate", "d", 1.5);
  sd_bus_message_open_container(b, 'e', "sv");
  sd_bus_message_append(b, "s", "Metadata");
  sd_bus_message_open_container(b, 'v', "a{sv}");
  sd_bus_message_open_container(b, 'a', "{sv}");
  sd_bus_message_append(b, "{sv}", "mpris:trackid", "o", "/org/mpv/Track/1");
  sd_bus_message_append(b, "{sv}", "xesam:title", "s", "Title");
  sd_bus_message_append(b, "{sv}", "xesam:artist", "as", 3, "A", "", "B");
  sd_bus_message_append(b, "{sv}", "xesam:album", "i", 7);  // not a text: skipped
  sd_bus_message_append(b, "{sv}", "mpris:length", "t", uint64_t{180'000'000});
  sd_bus_message_append(b, "{sv}", "mpris:artUrl", "s", "file:///c.png");
  sd_bus_message_close_container(b);
  sd_bus_message_close_container(b);
  sd_bus_message_close_container(b);
  sd_bus_message_close_container(b);
  MprisPlayerState s;
  s.album = "kept";
  ASSERT_GE(read(s), 0);
  EXPECT_EQ(s.status, "Paused");
  EXPECT_EQ(s.positionUs, 5'000'000);
  EXPECT_EQ(s.rate, 1.5);
  EXPECT_EQ(s.title, "Title");
  EXPECT_EQ(s.artist, "A, B");
  EXPECT_EQ(s.album, "kept");
  EXPECT_EQ(s.lengthUs, 180'000'000);
  EXPECT_EQ(s.artUrl, "file:///c.png");

  // Numbers of other widths, a Metadata that is no dictionary, a status that is no text.
  b = fresh();
  sd_bus_message_append(b, "a{sv}", 4, "Rate", "i", 2, "Position", "d", 1.5e6, "Metadata", "s",
                        "nonsense", "PlaybackStatus", "u", 4u);
  s = MprisPlayerState{};
  ASSERT_GE(read(s), 0);
  EXPECT_EQ(s.rate, 2.0);
  EXPECT_EQ(s.positionUs, 1'500'000);
  EXPECT_EQ(s.title, "");
  EXPECT_EQ(s.status, "");

  b = fresh();  // not a property dictionary at all
  sd_bus_message_append(b, "s", "Playing");
  EXPECT_LT(read(s), 0);
}

}  // namespace
}  // namespace tunelight

#endif  // _WIN32
