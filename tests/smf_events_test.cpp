#include <gtest/gtest.h>

#include "smf/events.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Bytes;
using test::hex;

TEST(SmfEvents, ReadsTimesRunningStatusAndPayloads) {
  const Bytes file = test::workedExample();
  const SmfSong song = readSmfSong(file);
  ASSERT_TRUE(song.ok) << song.error;
  EXPECT_EQ(song.format, 1);
  EXPECT_EQ(song.division, 480);
  ASSERT_EQ(song.tracks.size(), 3u);

  const auto& conductor = song.tracks[0];
  ASSERT_EQ(conductor.size(), 4u);
  EXPECT_EQ(conductor[0].metaType, 0x03);
  EXPECT_EQ(std::string(file.begin() + conductor[0].payloadOffset,
                        file.begin() + conductor[0].payloadOffset + conductor[0].payloadLength),
            "Song");
  EXPECT_EQ(tempoOf(conductor[1], file), 0x07A120);
  EXPECT_EQ(conductor[2].tick, 480);
  EXPECT_EQ(tempoOf(conductor[2], file), 0x061A80);
  EXPECT_EQ(conductor[3].metaType, 0x2F);

  // 00 C0 00 | 00 90 3C 64 | 83 60 3C 00 (running status) | end
  const auto& piano = song.tracks[1];
  ASSERT_EQ(piano.size(), 4u);
  EXPECT_EQ(piano[0].status, 0xC0);
  EXPECT_EQ(piano[0].data2, 0) << "a program change has one data byte";
  EXPECT_EQ(piano[2].status, 0x90);
  EXPECT_EQ(piano[2].tick, 480);
  EXPECT_EQ(piano[2].data1, 0x3C);
  EXPECT_EQ(piano[2].data2, 0x00);
  EXPECT_EQ(song.tracks[2][2].channel(), 1);
}

TEST(SmfEvents, SysexCarriesItsLengthAndEndsRunningStatus) {
  const Bytes file = test::concat({test::smfHeader(0, 1, 96),
                                   test::track(hex("00 90 40 50  00 F0 03 43 12 F7  10 FF 2F 00"))});
  const SmfSong song = readSmfSong(file);
  ASSERT_TRUE(song.ok);
  const auto& t = song.tracks[0];
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[1].status, 0xF0);
  EXPECT_EQ(t[1].payloadLength, 3u);
  EXPECT_EQ(t[2].metaType, 0x2F);
  EXPECT_EQ(t[2].tick, 0x10);
}

TEST(SmfEvents, DamagedFilesNeverReadPastTheirEnd) {
  EXPECT_FALSE(readSmfSong(Bytes{}).ok);
  EXPECT_FALSE(readSmfSong(hex("4D 54 68 64 00 00 00 06 00 01 00 01")).ok) << "header cut short";
  EXPECT_FALSE(readSmfSong(test::smfHeader(1, 1, 0x8000 | 25)).ok);
  EXPECT_FALSE(readSmfSong(test::smfHeader(1, 1, 0)).ok);

  // A track whose length runs past the file, ending inside a meta event.
  Bytes cut = test::concat({test::smfHeader(1, 2, 96), hex("4D 54 72 6B 00 00 10 00  00 90 40 50  00 FF 01 20 41")});
  const SmfSong song = readSmfSong(cut);
  ASSERT_TRUE(song.ok);
  ASSERT_EQ(song.tracks.size(), 1u);
  EXPECT_EQ(song.tracks[0].size(), 1u) << "the cut-off meta event is dropped";
  // Hostile variable-length values stop after four bytes.
  const Bytes hostile = test::concat({test::smfHeader(1, 1, 96), test::track(hex("FF FF FF 7F 90 40 50"))});
  const SmfSong h = readSmfSong(hostile);
  ASSERT_TRUE(h.ok);
  ASSERT_FALSE(h.tracks[0].empty());
  EXPECT_EQ(h.tracks[0][0].tick, 0x0FFFFFFF);
}

}  // namespace
}  // namespace tonvell
