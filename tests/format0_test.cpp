// Format-0 files converted on request: the rewrite into one track per channel
// (known answers for the layout, the running status, the system messages and
// the damaged tracks), the switch that gates it, its bounds, and the whole
// conversion of merged real songs and generated songs against the file
// written independently by the test support.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "smf/events.h"
#include "smf/format0.h"
#include "support/format1_by_channel.h"
#include "support/song_generator.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Bytes;
using test::concat;
using test::hex;
using test::hexOf;
using test::smfHeader;
using test::track;

Bytes rewritten(const Bytes& input) {
  Bytes out;
  EXPECT_EQ(rewriteFormat0(input, &out), result::kSuccess);
  return out;
}

struct Converted {
  ConvertResult code;
  Bytes mfi;
  std::string trace;
};

Converted convert(const Bytes& input, bool format0) {
  ConverterSettings settings;
  settings.format0Switch = format0 ? 1 : 0;
  TraceChannel trace;
  Converted c;
  trace.setSink([&c](std::string_view b) { c.trace.append(b); });
  c.code = test::convertBytes(input, &c.mfi, settings, &trace);
  return c;
}

// The switch on the format-0 file against the plain conversion of the
// format-1 file it stands for: the same code, file and trace.
void expectConvertsAs(const Bytes& format0, const Bytes& format1, const std::string& what) {
  const Converted got = convert(format0, true);
  const Converted want = convert(format1, false);
  EXPECT_EQ(got.code, want.code) << what;
  EXPECT_TRUE(got.mfi == want.mfi) << what;
  EXPECT_TRUE(got.trace == want.trace) << what;
}

TEST(Format0Rewrite, ChannelsGetTheirOwnTracksAndMetaEventsTrackZero) {
  const Bytes input = concat({smfHeader(0, 1, 96), track(hex("00 FF 03 04 53 6F 6E 67"  // name, tick 0
                                                              "00 FF 51 03 07 A1 20"     // tempo, tick 0
                                                              "00 C0 05"                 // channel 0
                                                              "00 92 3C 64"              // channel 2
                                                              "60 3C 00"                 // running status, tick 96
                                                              "00 90 40 50"              // channel 0, tick 96
                                                              "83 00 FF 51 03 06 1A 80"  // tempo, tick 480
                                                              "00 80 40 40"              // tick 480
                                                              "00 FF 2F 00"))});
  const Bytes want = concat({
      hex("4D 54 68 64 00 00 00 06 00 01 00 04 00 60"),
      track(hex("00 FF 03 04 53 6F 6E 67  00 FF 51 03 07 A1 20  83 60 FF 51 03 06 1A 80  00 FF 2F 00")),
      track(hex("00 C0 05  60 90 40 50  83 00 80 40 40  00 FF 2F 00")),
      track(hex("83 60 FF 2F 00")),  // channel 1 has nothing but the end
      track(hex("00 92 3C 64  60 92 3C 00  83 00 FF 2F 00")),
  });
  EXPECT_EQ(hexOf(rewritten(input)), hexOf(want));
  EXPECT_EQ(hexOf(test::format1ByChannel(input).bytes), hexOf(want));
  expectConvertsAs(input, want, "known answer");
  EXPECT_EQ(convert(input, true).code, result::kSuccess);
}

TEST(Format0Rewrite, EveryKindOfRunningStatusIsWrittenOut) {
  // The split's running status follows every status byte: after a meta
  // event a data byte starts another meta event, after 0xF3 another 0xF3 of
  // one byte, after 0xF6 an event of no bytes at all; a track that starts
  // with a data byte starts with a meta event.
  const Bytes input = concat({smfHeader(0, 1, 480), track(hex("00 01 02 41 42"          // text "AB", no status
                                                               "00 FF 51 03 07 A1 20"   // tempo
                                                               "00 05 00"               // lyric, running 0xFF
                                                               "00 C1 07  00 08"        // two program changes
                                                               "00 F3 01  00 02"        // two song selects
                                                               "00 F6  00"              // two tune requests
                                                               "05 90 3C 40"            // tick 5
                                                               "00 FF 2F 00"))});
  const Bytes want = concat({
      hex("4D 54 68 64 00 00 00 06 00 01 00 03 01 E0"),
      track(hex("00 FF 01 02 41 42  00 FF 51 03 07 A1 20  00 FF 05 00  00 F3 01  00 F3 02  00 F6  00 F6  05 FF 2F 00")),
      track(hex("05 90 3C 40  00 FF 2F 00")),
      track(hex("00 C1 07  00 C1 08  05 FF 2F 00")),
  });
  EXPECT_EQ(hexOf(rewritten(input)), hexOf(want));
  expectConvertsAs(input, want, "running status");
}

TEST(Format0Rewrite, SystemMessagesKeepTheSplitsExtentsInTrackZero) {
  // 0xF2 takes two bytes and 0xF1 one; 0xF4 and 0xF7 none, so the bytes
  // after them are the next delta; 0xF0 takes an id of three bytes when its
  // first is 0, which here swallows a 0xF7, and then bytes up to the next.
  const Bytes input = concat({smfHeader(0, 1, 96), track(hex("00 F2 01 02  00 F1 05  00 F4"
                                                              "00 90 3C 40"
                                                              "00 F7  00 F0 00 F7 01 05 F7"
                                                              "10 80 3C 00  00 FF 2F 00"))});
  const Bytes want = concat({
      hex("4D 54 68 64 00 00 00 06 00 01 00 02 00 60"),
      track(hex("00 F2 01 02  00 F1 05  00 F4  00 F7  00 F0 00 F7 01 05 F7  10 FF 2F 00")),
      track(hex("00 90 3C 40  10 80 3C 00  00 FF 2F 00")),
  });
  EXPECT_EQ(hexOf(rewritten(input)), hexOf(want));
  EXPECT_EQ(hexOf(test::format1ByChannel(input).bytes), hexOf(want));
  expectConvertsAs(input, want, "system messages");
}

TEST(Format0Rewrite, TracksEndAtTheLastEventAndCutEventsAreLeftOut) {
  const Bytes header = smfHeader(0, 1, 96);
  const Bytes twoTracks = hex("4D 54 68 64 00 00 00 06 00 01 00 02 00 60");
  const Bytes noteAtZero = concat({twoTracks, track(hex("00 FF 2F 00")), track(hex("00 90 3C 40  00 FF 2F 00"))});

  // A track length past the file: the note-off that the file's end cuts is
  // dropped, and with no end of track the tracks end at the note-on.
  Bytes cut = concat({header, hex("4D 54 72 6B 00 00 01 00  00 90 3C 40  60 80 3C")});
  EXPECT_EQ(hexOf(rewritten(cut)), hexOf(noteAtZero));
  // A last delta with nothing after it is no event.
  EXPECT_EQ(hexOf(rewritten(concat({header, track(hex("00 90 3C 40  60"))}))), hexOf(noteAtZero));
  // A meta event longer than its track, though the file goes on.
  EXPECT_EQ(hexOf(rewritten(concat({header, track(hex("00 90 3C 40  00 FF 01 10 41")), hex("58 58 58 58 00 00 00 00")}))),
            hexOf(noteAtZero));
  // A system-exclusive event without its 0xF7 within the track.
  EXPECT_EQ(hexOf(rewritten(concat({header, track(hex("00 90 3C 40  00 F0 43 10")), hex("F7")}))), hexOf(noteAtZero));

  // Events after the end of track move the end to the last of them.
  EXPECT_EQ(hexOf(rewritten(concat({header, track(hex("00 90 3C 40  10 FF 2F 00  20 80 3C 00"))}))),
            hexOf(concat({twoTracks, track(hex("30 FF 2F 00")), track(hex("00 90 3C 40  30 80 3C 00  00 FF 2F 00"))})));

  // A length with its top bit set is a track with no events: only track 0.
  const Bytes nothing = concat({hex("4D 54 68 64 00 00 00 06 00 01 00 01 00 60"), track(hex("00 FF 2F 00"))});
  EXPECT_EQ(hexOf(rewritten(concat({header, hex("4D 54 72 6B 80 00 00 04  00 90 3C 40")}))), hexOf(nothing));
  EXPECT_EQ(hexOf(rewritten(concat({header, track(hex("00 FF 2F 00"))}))), hexOf(nothing));
}

TEST(Format0Rewrite, TheTrackIsFoundAsTheSplitFindsIt) {
  const Bytes events = hex("00 C0 05  00 FF 2F 00");
  const Bytes want = concat({hex("4D 54 68 64 00 00 00 06 00 01 00 02 00 60"), track(hex("00 FF 2F 00")), track(events)});
  // The search starts at offset 14 whatever the header length says, and
  // passes over chunks of other ids.
  Bytes longHeader = concat({smfHeader(0, 1, 96), track(events)});
  longHeader[7] = 10;
  EXPECT_EQ(hexOf(rewritten(longHeader)), hexOf(want));
  EXPECT_EQ(hexOf(rewritten(concat({smfHeader(0, 1, 96), hex("58 46 49 48 00 00 00 02 AB CD"), track(events)}))),
            hexOf(want));

  // No track, or an empty one where the track should be: the header alone,
  // refused as a format-1 file whose track is missing, after its division.
  for (const Bytes& input : {smfHeader(0, 1, 96), concat({smfHeader(0, 1, 96), track({}), track(events)})}) {
    EXPECT_EQ(hexOf(rewritten(input)), "4D 54 68 64 00 00 00 06 00 01 00 01 00 60");
    EXPECT_EQ(convert(input, true).code, result::kNotMidi);
  }
  EXPECT_EQ(convert(smfHeader(0, 1, 0x8000 | 25), true).code, result::kSmpteDivision);
  EXPECT_EQ(convert(concat({smfHeader(0, 1, 0xE728), track(events)}), true).code, result::kSmpteDivision);
  EXPECT_EQ(convert(concat({smfHeader(0, 1, 0), track(events)}), true).code, result::kNotMidi);
}

TEST(Format0Switch, OnlyAFormat0HeaderWithOneTrackIsRewritten) {
  const Bytes body = track(hex("00 90 3C 40  60 80 3C 00  00 FF 2F 00"));
  // Off, every format-0 file is refused as before; on, only those of one track are taken.
  EXPECT_EQ(convert(concat({smfHeader(0, 1, 96), body}), false).code, result::kNotFormat1);
  EXPECT_EQ(convert(concat({smfHeader(0, 1, 96), body}), true).code, result::kSuccess);
  for (int tracks : {0, 2, 16, 0x101})
    EXPECT_EQ(convert(concat({smfHeader(0, tracks, 96), body, body}), true).code, result::kNotFormat1) << tracks;
  EXPECT_EQ(convert(concat({smfHeader(2, 1, 96), body}), true).code, result::kNotFormat1);
  EXPECT_FALSE(isSingleTrackFormat0(Bytes{}));
  EXPECT_FALSE(isSingleTrackFormat0(hex("4D 54 68 64 00 00 00 00 00 00 00 01 00 60")));  // header length 0
  EXPECT_EQ(convert(concat({hex("4D 54 68 64 00 00 00 00 00 00 00 01 00 60"), body}), true).code, result::kNotMidi);
  EXPECT_FALSE(isSingleTrackFormat0(hex("4D 54 68 64 00 00 00 06 00 00 00")));  // cut inside the track count

  // A format-1 file converts byte for byte as without the switch, trace included.
  const Converted off = convert(test::workedExample(), false);
  const Converted on = convert(test::workedExample(), true);
  EXPECT_EQ(on.code, result::kSuccess);
  EXPECT_TRUE(on.mfi == off.mfi);
  EXPECT_TRUE(on.trace == off.trace);
}

TEST(Format0Rewrite, BoundsRefuseWhatDoesNotFit) {
  const Bytes input = concat({smfHeader(0, 1, 96), track(hex("00 90 3C 40  00 3E 40  00 40 40  60 80 3C 00  00 FF 2F 00"))});
  const Bytes full = rewritten(input);
  Bytes out;
  // The rewritten file is larger (each event gets its status); it must lie
  // below the ceiling, as any input must.
  EXPECT_EQ(rewriteFormat0(input, &out, static_cast<std::int64_t>(full.size())), result::kNoMemory);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(rewriteFormat0(input, &out, static_cast<std::int64_t>(full.size()) + 1), result::kSuccess);
  EXPECT_EQ(out, full);
  EXPECT_EQ(rewriteFormat0(input, &out, static_cast<std::int64_t>(input.size())), result::kNoMemory);

  // Channel 0 waits 0x0FFFFFFF ticks for channel 1, then one more: a delta
  // of four bytes no longer carries the gap in its own track.
  const Bytes far = concat({smfHeader(0, 1, 96),
                            track(hex("00 90 3C 40  FF FF FF 7F 91 3C 40  01 80 3C 00  00 FF 2F 00"))});
  EXPECT_EQ(rewriteFormat0(far, &out), result::kNotMidi);
  EXPECT_EQ(convert(far, true).code, result::kNotMidi);
  const Bytes near = concat({smfHeader(0, 1, 96),
                             track(hex("00 90 3C 40  FF FF FF 7E 91 3C 40  01 80 3C 00  00 FF 2F 00"))});
  EXPECT_EQ(rewriteFormat0(near, &out), result::kSuccess);
}

TEST(Format0Rewrite, RandomTracksAreRewrittenAsTheTestWriterWritesThem) {
  // Random bytes as the track, with every kind of status, running status,
  // cut events and track lengths past the file among them.
  std::mt19937 random(20030105);
  const Bytes statuses = hex("80 90 A0 B0 C0 D0 E0 9F CF 9E 8D F0 F1 F2 F3 F4 F6 F7 F8 FE FF FF FF");
  int compared = 0, leftOutSeen = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes body;
    // Now and then channels 1 to 15 all play first, so that channel 16 finds no track.
    if (round % 5 == 0)
      for (int c = 0; c < 15; ++c) body.insert(body.end(), {0x00, static_cast<std::uint8_t>(0x90 | c), 0x3C, 0x40});
    const int events = static_cast<int>(random() % 24);
    for (int e = 0; e < events; ++e) {
      body.push_back(static_cast<std::uint8_t>(random() % 8 == 0 ? 0x81 : random() % 0x80));  // delta, now and then two bytes
      if (body.back() & 0x80) body.push_back(static_cast<std::uint8_t>(random() % 0x80));
      if (random() % 3 != 0) body.push_back(statuses[random() % statuses.size()]);
      for (int n = static_cast<int>(random() % 5); n > 0; --n)
        body.push_back(static_cast<std::uint8_t>(random() % 6 == 0 ? 0xF7 : random() % 0x80));
    }
    Bytes input = concat({smfHeader(0, 1, 96), track(body)});
    if (round % 4 == 0) input[21] = static_cast<std::uint8_t>(input[21] + random() % 8);  // a length past the file
    Bytes out;
    bool leftOut = true;
    const ConvertResult code = rewriteFormat0(input, &out, kMaxInputLength, &leftOut);
    if (code == result::kNotMidi) continue;  // gaps no delta carries; the test writer does not refuse them
    ASSERT_EQ(code, result::kSuccess);
    const test::ChannelSplitFile want = test::format1ByChannel(input);
    if (!want.found) {  // an empty track chunk: the header alone
      ASSERT_TRUE(body.empty());
      EXPECT_EQ(out.size(), 14u);
      continue;
    }
    ASSERT_EQ(hexOf(out), hexOf(want.bytes)) << "track " << hexOf(body);
    ASSERT_EQ(leftOut, want.channel16LeftOut) << "track " << hexOf(body);
    leftOutSeen += leftOut;
    ++compared;
  }
  EXPECT_GE(compared, 2700);
  EXPECT_GE(leftOutSeen, 100);
}

// The note events of an MFi file: in every "trac" chunk, the 4-byte events
// whose second byte is not 0xFF.
int noteCount(const Bytes& mfi) {
  const auto u32 = [&](std::size_t at) {
    return static_cast<std::size_t>(mfi[at] << 24 | mfi[at + 1] << 16 | mfi[at + 2] << 8 | mfi[at + 3]);
  };
  int notes = 0;
  std::size_t at = 10 + static_cast<std::size_t>(mfi[8] << 8 | mfi[9]);
  while (at + 8 <= mfi.size()) {
    const std::size_t length = u32(at + 4);
    for (std::size_t e = at + 8; e + 4 <= at + 8 + length && e + 4 <= mfi.size(); e += 4) notes += mfi[e + 1] != 0xFF;
    at += 8 + length;
  }
  return notes;
}

TEST(Format0Rewrite, Channel16TakesAFreeTrackSoItsNotesAreKept) {
  // H = 15 would make 17 tracks, and the split walks 16: channel 16 goes into
  // the track of channel 15, which plays nothing, and its notes reach the
  // ring tone.
  const Bytes with16 = concat({smfHeader(0, 1, 96), track(hex("00 90 3C 40  00 9F 40 40  60 80 3C 00  00 8F 40 00  00 FF 2F 00"))});
  const Bytes with15 = concat({smfHeader(0, 1, 96), track(hex("00 90 3C 40  00 9E 40 40  60 80 3C 00  00 8E 40 00  00 FF 2F 00"))});
  const Bytes r = rewritten(with16);
  EXPECT_EQ(hexOf(Bytes(r.begin() + 10, r.begin() + 12)), "00 10");
  const Converted c16 = convert(with16, true);
  const Converted c15 = convert(with15, true);
  ASSERT_EQ(c16.code, result::kSuccess);
  ASSERT_EQ(c15.code, result::kSuccess);
  EXPECT_EQ(noteCount(c15.mfi), 2);
  EXPECT_EQ(noteCount(c16.mfi), 2);
}

// A format-1 song merged into one track in time order (ties by track, then
// by place in the track), its ends of track replaced by one at the latest.
// Channel events use running status where the one before has the same status.
Bytes mergeToFormat0(const Bytes& file) {
  const SmfSong song = readSmfSong(file);
  EXPECT_TRUE(song.ok) << song.error;
  struct Timed {
    std::int64_t tick;
    Bytes bytes;
    bool channel;
  };
  std::vector<Timed> all;
  std::int64_t end = 0;
  for (const auto& events : song.tracks) {
    for (const SmfEvent& e : events) {
      end = std::max(end, e.tick);
      if (e.status == 0xFF && e.metaType == 0x2F) continue;
      Timed t{e.tick, {e.status}, e.isChannelEvent()};
      if (e.isChannelEvent()) {
        t.bytes.push_back(e.data1);
        if (e.kind() != 0xC0 && e.kind() != 0xD0) t.bytes.push_back(e.data2);
      } else {
        if (e.status == 0xFF) t.bytes.push_back(e.metaType);
        const Bytes n = test::varLen(e.payloadLength);
        t.bytes.insert(t.bytes.end(), n.begin(), n.end());
        t.bytes.insert(t.bytes.end(), file.begin() + e.payloadOffset, file.begin() + e.payloadOffset + e.payloadLength);
      }
      all.push_back(std::move(t));
    }
  }
  std::stable_sort(all.begin(), all.end(), [](const Timed& a, const Timed& b) { return a.tick < b.tick; });
  Bytes body;
  std::int64_t at = 0;
  int running = -1;
  for (const Timed& t : all) {
    const Bytes d = test::varLen(static_cast<std::uint32_t>(t.tick - at));
    body.insert(body.end(), d.begin(), d.end());
    at = t.tick;
    const bool repeat = t.channel && t.bytes[0] == running;
    body.insert(body.end(), t.bytes.begin() + (repeat ? 1 : 0), t.bytes.end());
    running = t.channel ? t.bytes[0] : -1;
  }
  const Bytes d = test::varLen(static_cast<std::uint32_t>(end - at));
  body.insert(body.end(), d.begin(), d.end());
  body.insert(body.end(), {0xFF, 0x2F, 0x00});
  return concat({smfHeader(0, 1, song.division), track(body)});
}

// The merge, its rewrite against the independent writer, and the conversion.
void checkMerged(const Bytes& song, const std::string& what) {
  const Bytes merged = mergeToFormat0(song);
  const test::ChannelSplitFile want = test::format1ByChannel(merged);
  ASSERT_TRUE(want.found) << what;
  EXPECT_TRUE(rewritten(merged) == want.bytes) << what;
  expectConvertsAs(merged, want.bytes, what);
  EXPECT_EQ(convert(merged, true).code, result::kSuccess) << what;
}

TEST(Format0Songs, MergedRealSongsConvertAsTheirTrackPerChannelFiles) {
  const std::vector<std::string> paths = test::midiFilesIn(TONVELL_SONGS_DIR);
  ASSERT_GE(paths.size(), 20u) << "run scripts/fetch-songs.sh " << TONVELL_SONGS_DIR;
  for (const std::string& path : paths) checkMerged(test::readFile(path), path);
  std::printf("merged real songs compared: %zu\n", paths.size());
}

TEST(Format0Songs, MergedGeneratedSongsConvertAsTheirTrackPerChannelFiles) {
  // Five channel tracks use channels 0 to 3 and 9: channels 4 to 8 get
  // tracks with only their end.
  int count = 0;
  for (const int channels : {1, 5, 9, 15}) {
    for (const std::uint32_t start : {1u, 2u}) {
      const test::GeneratedSong song = test::generateSong(6000 * static_cast<std::size_t>(channels), start, channels);
      checkMerged(song.bytes, "generated, " + std::to_string(channels) + " tracks, start " + std::to_string(start));
      ++count;
    }
  }
  EXPECT_EQ(count, 8);
}

}  // namespace
}  // namespace tonvell
