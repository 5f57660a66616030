#include "smf/split.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <map>

#include "core/gbk.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Bytes;
using test::concat;
using test::hex;
using test::smfHeader;
using test::track;

// Records the progress calls of a pass.
struct RecordingProgress : Progress {
  struct Begin {
    float units;
    std::string text;
  };
  std::vector<Begin> begins;
  std::vector<std::vector<float>> steps;  // per beginProgress
  int finishes = 0;
  int refreshes = 0;
  void beginProgress(float units, std::string_view text) override {
    begins.push_back({units, std::string(text)});
    steps.emplace_back();
  }
  void stepProgress(float units) override { steps.back().push_back(units); }
  void finishProgress() override { ++finishes; }
  void refreshWindow() override { ++refreshes; }
};

// Runs the split alone over `input`.
struct Split {
  ConversionWorkspace ws;
  RecordingProgress progress;
  TraceChannel trace;
  test::TraceRecorder recorder;
  ConverterSettings settings;
  DateSource today = [] { return CalendarDate{}; };
  ConvertResult code;

  explicit Split(const Bytes& input, bool traced = false) {
    if (traced) recorder.attach(trace);
    code = loadInputBytes(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()), ws);
    if (code != result::kSuccess) return;
    PassContext pass{ws, progress, trace, conversionOptions(settings), today()};
    code = splitChannels(pass);
  }
  std::string stream(int c) const {
    return test::hexOf(ws.bufferA.get() + c * ws.inputLength, static_cast<size_t>(ws.streamLength[c]));
  }
  std::string closing(int c) const {
    return test::hexOf(ws.bufferA.get() + c * ws.inputLength + ws.streamLength[c], 4);
  }
};


std::string separator() {
  std::string s;
  for (int i = 0; i < 26; ++i) s += "\x81\x7C";
  return s + "\n";
}

TEST(SplitChannels, WorkedExampleStreams) {
  Split s(test::workedExample());
  ASSERT_EQ(s.code, result::kSuccess);
  EXPECT_EQ(s.ws.inputLength, 107);
  EXPECT_EQ(s.ws.streamLength[0], 39);
  EXPECT_EQ(s.stream(0),
            "00 FF 03 04 53 6F 6E 67 00 FF 51 03 07 A1 20 00 C0 00 00 90 3C 64 83 60 3C 00 00 FF 2F 00 "
            "00 FF 03 05 50 69 61 6E 6F");
  EXPECT_EQ(s.closing(0), "00 FF 2F 00");
  EXPECT_EQ(s.ws.streamLength[1], 18);
  EXPECT_EQ(s.stream(1), "00 B1 07 64 81 70 91 40 50 81 70 81 40 40 00 FF 2F 00");
  EXPECT_EQ(s.closing(1), "00 FF 2F 00");
  for (int c = 2; c < 16; ++c) {
    EXPECT_EQ(s.ws.streamLength[c], 0) << c;
    EXPECT_EQ(s.ws.streamPos[c], c * 107) << "an empty stream gets no closing bytes";
  }
  EXPECT_EQ(s.ws.channelCount, 2);
  EXPECT_EQ(s.ws.division, 480);
}

TEST(SplitChannels, WorkedExampleProgressAndTrace) {
  Split s(test::workedExample(), true);
  ASSERT_EQ(s.code, result::kSuccess);
  ASSERT_EQ(s.progress.begins.size(), 3u);
  EXPECT_EQ(s.progress.begins[0].units, 49.0f);
  EXPECT_EQ(s.progress.begins[0].text, "正转换SMF声道");
  EXPECT_EQ(s.progress.steps[0], (std::vector<float>{7, 6, 6, 3}));
  EXPECT_EQ(s.progress.begins[1].units, 72.0f);
  EXPECT_EQ(s.progress.begins[2].units, 107.0f);
  EXPECT_EQ(s.progress.finishes, 3);

  // GBK bytes of "■分析 SMF 文件的音轨后再次登录声道", "格式:1 音轨数:3 可分离:480
  // 总容量107 组件", "音轨: N 容量:L 组件", "■再次登录 SMF 声道结果" and
  // "◎总声道数: 2 ◎播放时间:480 ◎数据:57 组件".
  const std::string sep = separator();
  const std::string expected = sep + "\xA1\xF6\xB7\xD6\xCE\xF6 SMF \xCE\xC4\xBC\xFE\xB5\xC4\xD2\xF4\xB9\xEC\xBA\xF3\xD4\xD9\xB4\xCE\xB5\xC7\xC2\xBC\xC9\xF9\xB5\xC0\n" + sep +
                               "\xB8\xF1\xCA\xBD:1 \xD2\xF4\xB9\xEC\xCA\xFD:3 \xBF\xC9\xB7\xD6\xC0\xEB:480 \xD7\xDC\xC8\xDD\xC1\xBF" "107 \xD7\xE9\xBC\xFE\n" + sep +
                               "\xD2\xF4\xB9\xEC: 0 \xC8\xDD\xC1\xBF:27 \xD7\xE9\xBC\xFE\n" + "\xD2\xF4\xB9\xEC: 1 \xC8\xDD\xC1\xBF:15 \xD7\xE9\xBC\xFE\n" +
                               "\xD2\xF4\xB9\xEC: 2 \xC8\xDD\xC1\xBF:27 \xD7\xE9\xBC\xFE\n" + sep + "\xA1\xF6\xD4\xD9\xB4\xCE\xB5\xC7\xC2\xBC SMF \xC9\xF9\xB5\xC0\xBD\xE1\xB9\xFB\n" + sep + sep +
                               "\xA1\xF2\xD7\xDC\xC9\xF9\xB5\xC0\xCA\xFD: 2 \xA1\xF2\xB2\xA5\xB7\xC5\xCA\xB1\xBC\xE4:480 \xA1\xF2\xCA\xFD\xBE\xDD:57 \xD7\xE9\xBC\xFE\n" + sep;
  EXPECT_EQ(s.recorder.bytes, expected);
  EXPECT_EQ(sep.size(), 53u);
  EXPECT_EQ(s.recorder.bytes.substr(53, 2), "\xA1\xF6") << "headings are GBK (■), not UTF-8";
}

TEST(SplitChannels, HeaderChecksInOrder) {
  EXPECT_EQ(Split(Bytes{}).code, result::kNotMidi) << "empty input";
  EXPECT_EQ(Split(hex("4D 54 68 65 00 00 00 06 00 01 00 01 00 60")).code, result::kNotMidi);
  EXPECT_EQ(Split(concat({hex("4D 54 68 64 00 00 00 00 00 01 00 01 00 60"), track(hex("00 FF 2F 00"))})).code,
            result::kNotMidi)
      << "header length 0";
  EXPECT_EQ(Split(concat({smfHeader(0, 1, 96), track(hex("00 FF 2F 00"))})).code, result::kNotFormat1);
  EXPECT_EQ(Split(concat({smfHeader(2, 1, 96), track(hex("00 FF 2F 00"))})).code, result::kNotFormat1);
  EXPECT_EQ(Split(concat({smfHeader(1, 1, 0xE728), track(hex("00 FF 2F 00"))})).code, result::kSmpteDivision);
  EXPECT_EQ(Split(concat({smfHeader(0, 1, 0xE728), track(hex("00 FF 2F 00"))})).code, result::kNotFormat1)
      << "the format is checked before the division";
  EXPECT_EQ(Split(concat({smfHeader(1, 1, 0), track(hex("00 FF 2F 00"))})).code, result::kNotMidi)
      << "division 0";
  EXPECT_EQ(Split(hex("4D 54 68 64 00 00")).code, result::kNotMidi) << "truncated header";
}

TEST(SplitChannels, HeaderLengthOtherThanSixIsIgnored) {
  Bytes input = concat({smfHeader(1, 1, 96), track(hex("00 C0 05"))});
  input[7] = 20;  // the fields are still read at 8, 10, 12; the search starts at 14
  Split s(input);
  ASSERT_EQ(s.code, result::kSuccess);
  EXPECT_EQ(s.stream(0), "00 C0 05");
}

TEST(SplitChannels, TrackCounts) {
  // 0 tracks: nothing walked, all streams empty, play time 0.
  Split none(smfHeader(1, 0, 96), true);
  ASSERT_EQ(none.code, result::kSuccess);
  EXPECT_EQ(none.ws.channelCount, 0);
  EXPECT_NE(none.recorder.bytes.find("\xA1\xF2\xB2\xA5\xB7\xC5\xCA\xB1\xBC\xE4:0 "), std::string::npos);

  // 17 declared: only 16 walked, the header line shows 16.
  Bytes input = smfHeader(1, 17, 96);
  for (int t = 0; t < 17; ++t) {
    const Bytes ev{0x00, static_cast<std::uint8_t>(0xC0 | (t & 15)), static_cast<std::uint8_t>(t)};
    input = concat({input, track(ev)});
  }
  Split many(input, true);
  ASSERT_EQ(many.code, result::kSuccess);
  EXPECT_EQ(many.progress.begins.size(), 16u);
  EXPECT_NE(many.recorder.bytes.find("\xD2\xF4\xB9\xEC\xCA\xFD:16 "), std::string::npos);
  EXPECT_EQ(many.stream(0), "00 C0 00") << "track 0 at tick 0 is retained; the 17th track never read";

  // More declared than present: 109 after the tracks found were walked.
  Split missing(concat({smfHeader(1, 3, 96), track(hex("00 C0 01")), track(hex("00 C1 01"))}), true);
  EXPECT_EQ(missing.code, result::kNotMidi);
  EXPECT_EQ(missing.progress.begins.size(), 2u);
}

TEST(SplitChannels, ForeignAndEmptyChunks) {
  const Bytes foreign = concat({hex("58 59 5A 57 00 00 00 02 AA BB"), track(hex("00 C0 01"))});
  Split a(concat({smfHeader(1, 1, 96), foreign}));
  ASSERT_EQ(a.code, result::kSuccess);
  EXPECT_EQ(a.stream(0), "00 C0 01");

  // An empty "MTrk" uses up a search attempt: with two tracks declared,
  // track 0 may pass over one empty chunk...
  Split b(concat({smfHeader(1, 2, 96), track({}), track(hex("00 C0 01")), track(hex("00 C1 02"))}));
  ASSERT_EQ(b.code, result::kSuccess);
  EXPECT_EQ(b.stream(1), "00 C1 02");
  // ...but track 1 may not.
  Split c(concat({smfHeader(1, 2, 96), track(hex("00 C0 01")), track({}), track(hex("00 C1 02"))}));
  EXPECT_EQ(c.code, result::kNotMidi);
}

TEST(SplitChannels, ConductorTrackKeepsOnlyTickZero) {
  Split s(concat({smfHeader(1, 2, 96), track(hex("00 FF 51 03 07 A1 20  10 FF 51 03 06 1A 80  00 FF 2F 00")),
                  track(hex("00 90 3C 40  10 FF 2F 00"))}));
  ASSERT_EQ(s.code, result::kSuccess);
  EXPECT_EQ(s.stream(0), "00 FF 51 03 07 A1 20 00 90 3C 40 10 FF 2F 00")
      << "the conductor's later tempo and end are dropped; track 1's end goes to channel 0";

  Split tick0End(concat({smfHeader(1, 1, 96), track(hex("00 FF 2F 00"))}));
  EXPECT_EQ(tick0End.stream(0), "00 FF 2F 00");
}

TEST(SplitChannels, EndOfTrackGoesToTheChannelBelowItsTrack) {
  Bytes input = smfHeader(1, 4, 96);
  input = concat({input, track(hex("00 FF 2F 00"))});
  input = concat({input, track(hex("00 95 40 40 05 FF 2F 00"))});           // track 1 -> channel 0
  input = concat({input, track(hex("00 9F 40 40 06 FF 2F 00"))});           // track 2 -> channel 1
  input = concat({input, track(hex("00 FF 01 01 41 07 FF 2F 00"))});        // track 3 -> channel 2
  Split s(input);
  ASSERT_EQ(s.code, result::kSuccess);
  EXPECT_EQ(s.stream(0), "00 FF 2F 00 05 FF 2F 00 00 FF 01 01 41");
  EXPECT_EQ(s.stream(1), "06 FF 2F 00");
  EXPECT_EQ(s.stream(2), "07 FF 2F 00");
  EXPECT_EQ(s.stream(5), "00 95 40 40");
  EXPECT_EQ(s.stream(15), "00 9F 40 40");
}

TEST(SplitChannels, RunningStatusSysexAndLongDeltas) {
  Split s(concat({smfHeader(1, 2, 96), track(hex("00 FF 2F 00")),
                  track(hex("80 00 92 40 40  83 00 40 00  00 F0 43 12 00 F7  00 F7 05 C2 01  00 FF 2F 00"))}));
  ASSERT_EQ(s.code, result::kSuccess);
  // Running status copied without a status byte; 80 00 rewritten as 00.
  EXPECT_EQ(s.stream(2), "00 92 40 40 83 00 40 00 05 C2 01");
  // The sysex whole to channel 0; an F7 event takes nothing after it, so 05
  // is the next event's delta.
  EXPECT_EQ(s.stream(0), "00 FF 2F 00 00 F0 43 12 00 F7 00 F7 00 FF 2F 00");
}

TEST(SplitChannels, TwoTracksOfOneChannelAreNotMerged) {
  Split s(concat({smfHeader(1, 3, 96), track(hex("00 FF 2F 00")), track(hex("10 90 40 40 10 80 40 00")),
                  track(hex("05 90 41 40 05 80 41 00"))}));
  ASSERT_EQ(s.code, result::kSuccess);
  EXPECT_EQ(s.stream(0), "00 FF 2F 00 10 90 40 40 10 80 40 00 05 90 41 40 05 80 41 00");
}

TEST(SplitChannels, HostileLengthsStayInsideTheFile) {
  // A track length past the end is clamped; the trace keeps the declared one.
  Bytes truncated = concat({smfHeader(1, 1, 96), hex("4D 54 72 6B 00 01 00 00 00 C0 05 00 C1")});
  Split a(truncated, true);
  ASSERT_EQ(a.code, result::kSuccess);
  EXPECT_EQ(a.stream(0), "00 C0 05");
  EXPECT_NE(a.recorder.bytes.find("\xC8\xDD\xC1\xBF:65536 "), std::string::npos);

  // A negative length: a track with no events, printed signed.
  Split b(concat({smfHeader(1, 1, 96), hex("4D 54 72 6B FF FF FF FE 00 C0 05")}), true);
  ASSERT_EQ(b.code, result::kSuccess);
  EXPECT_EQ(b.ws.channelCount, 0);
  EXPECT_NE(b.recorder.bytes.find("\xC8\xDD\xC1\xBF:-2 "), std::string::npos);

  // A sysex without end and a huge meta length stop at the track's end.
  Split c(concat({smfHeader(1, 2, 96), track(hex("00 FF 2F 00")), track(hex("00 F0 43 01 02 03")),
                  }));
  ASSERT_EQ(c.code, result::kSuccess);
  EXPECT_EQ(c.stream(0), "00 FF 2F 00 00 F0 43 01 02 03");
  Split d(concat({smfHeader(1, 2, 96), track(hex("00 FF 2F 00")), track(hex("00 FF 01 FF FF FF 7F 41 42"))}));
  ASSERT_EQ(d.code, result::kSuccess);
  EXPECT_EQ(d.stream(0), "00 FF 2F 00 00 FF 01 FF FF FF 7F 41 42");

  // A first event without a status byte is read as a meta event.
  Split e(concat({smfHeader(1, 2, 96), track(hex("00 FF 2F 00")), track(hex("00 01 01 41"))}));
  ASSERT_EQ(e.code, result::kSuccess);
  EXPECT_EQ(e.stream(0), "00 FF 2F 00 00 01 01 41");
}

// Every file of the public edge-case suite gives a result, never a crash;
// the ones that are not format 1 give 115, empty and non-MIDI ones 109.
TEST(SplitChannels, EdgeCaseSuite) {
  DIR* dir = opendir(TONVELL_CORPUS_DIR);
  if (dir == nullptr) GTEST_SKIP() << "the edge-case suite is not at " << TONVELL_CORPUS_DIR;
  std::map<ConvertResult, int> codes;
  int files = 0;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() < 4 || name.substr(name.size() - 4) != ".mid") continue;
    const Bytes input = test::readFile(std::string(TONVELL_CORPUS_DIR) + "/" + name);
    Split s(input);
    ++files;
    ++codes[s.code];
    int format = input.size() >= 10 && input[0] == 'M' && input[1] == 'T' && input[2] == 'h' && input[3] == 'd'
                     ? input[8] << 8 | input[9]
                     : -1;
    if (format == 0 || format == 2) { EXPECT_EQ(s.code, result::kNotFormat1) << name; }
    if (input.empty() || format == -1) { EXPECT_EQ(s.code, result::kNotMidi) << name; }
    if (name.find("type-0") != std::string::npos || name.find("type-2") != std::string::npos) {
      EXPECT_EQ(s.code, result::kNotFormat1) << name;
    }
  }
  closedir(dir);
  EXPECT_GT(files, 10);
  EXPECT_GT(codes[result::kSuccess], 0);
}

}  // namespace
}  // namespace tonvell
