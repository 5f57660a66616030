// FluidSynth playing decoded ring tones: WAV files of the right length that
// are not silent, the polyphony limit, the loops, and playback through the
// file audio driver that needs no sound device.
#include "audio/synth.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "audio/performance.h"
#include "mfi/decode.h"
#include "support/test_support.h"

namespace tonvell::test {
namespace {

// What a 16-bit PCM WAV file holds.
struct Wav {
  bool ok = false;
  int channels = 0, rate = 0, bits = 0;
  double seconds = 0;
  double peakDbfs = -200;
  double rms = 0;
};

std::uint32_t le32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

Wav readWav(const std::string& path) {
  const Bytes b = readFile(path);
  Wav w;
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0) return w;
  for (std::size_t at = 12; at + 8 <= b.size();) {
    const std::uint32_t length = le32(b, at + 4);
    if (std::memcmp(b.data() + at, "fmt ", 4) == 0 && length >= 16) {
      w.channels = b[at + 10] | (b[at + 11] << 8);
      w.rate = static_cast<int>(le32(b, at + 12));
      w.bits = b[at + 22] | (b[at + 23] << 8);
    } else if (std::memcmp(b.data() + at, "data", 4) == 0 && w.channels == 2 && w.bits == 16) {
      const std::size_t n = std::min<std::size_t>(length, b.size() - at - 8) / 2;
      int peak = 0;
      double sum = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const int s = static_cast<std::int16_t>(b[at + 8 + 2 * i] | (b[at + 9 + 2 * i] << 8));
        peak = std::max(peak, std::abs(s));
        sum += static_cast<double>(s) * s;
      }
      w.seconds = static_cast<double>(n) / 2 / w.rate;
      w.peakDbfs = peak ? 20 * std::log10(peak / 32768.0) : -200;
      w.rms = n ? std::sqrt(sum / static_cast<double>(n)) : 0;
      w.ok = true;
      return w;
    }
    at += 8 + length + (length & 1);
  }
  return w;
}

struct Decoded {
  DecodedMfi mfi;
  audio::Performance performance;
};

Decoded decodeExample(const std::string& name, int passes = 1) {
  Bytes mfi;
  EXPECT_EQ(convertBytes(readFile(std::string(TONVELL_SOURCE_DIR) + "/examples/" + name), &mfi), result::kSuccess);
  Decoded d{decodeMfi(mfi), {}};
  EXPECT_TRUE(d.mfi.ok) << d.mfi.error;
  d.performance = audio::buildPerformance(d.mfi.midi, {d.mfi.cueStartTick, d.mfi.cueEndTick}, passes);
  EXPECT_TRUE(d.performance.ok) << d.performance.error;
  return d;
}

class Render : public ::testing::Test {
 protected:
  void SetUp() override {
    if (audio::defaultSoundFont().empty()) GTEST_SKIP() << "no General MIDI SoundFont installed (scripts/bootstrap.sh)";
  }
  TempDir dir;
};

TEST_F(Render, TheExamplesLastTheirPlayingTimeAndAreHeard) {
  for (const char* name : {"worked-example.mid", "melody-and-drums.mid"}) {
    const Decoded d = decodeExample(name);
    const std::string path = dir.file(std::string(name) + ".wav");
    const audio::RenderOutcome r = audio::renderWav(d.performance, path, {});
    ASSERT_TRUE(r.ok) << r.error;
    const Wav w = readWav(path);
    ASSERT_TRUE(w.ok) << name;
    EXPECT_EQ(w.rate, 44100);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.bits, 16);
    EXPECT_DOUBLE_EQ(w.seconds, r.seconds);
    EXPECT_NEAR(w.peakDbfs, r.peakDbfs, 0.01);
    EXPECT_DOUBLE_EQ(d.performance.seconds, d.mfi.seconds);
    EXPECT_GE(w.seconds, d.mfi.seconds - 0.05) << name;
    EXPECT_LE(w.seconds, d.mfi.seconds + audio::kMaxReleaseSeconds + 0.05) << name;
    EXPECT_GT(w.peakDbfs, -30.0) << name;
  }
}

TEST_F(Render, LoopsLengthenTheFile) {
  const Decoded d = decodeExample("worked-example.mid", 4);
  EXPECT_DOUBLE_EQ(d.performance.seconds, 4 * d.mfi.seconds) << "the cue end is the song's end, the cue start 0";
  const std::string path = dir.file("looped.wav");
  const audio::RenderOutcome r = audio::renderWav(d.performance, path, {});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_GE(r.seconds, d.performance.seconds - 0.05);
  EXPECT_LE(r.seconds, d.performance.seconds + audio::kMaxReleaseSeconds + 0.05);
}

TEST_F(Render, FewerVoicesSoundFewerNotes) {
  const Decoded d = decodeExample("melody-and-drums.mid");
  audio::SynthOptions one;
  one.voices = 1;
  ASSERT_TRUE(audio::renderWav(d.performance, dir.file("all.wav"), {}).ok);
  ASSERT_TRUE(audio::renderWav(d.performance, dir.file("one.wav"), one).ok);
  const double all = readWav(dir.file("all.wav")).rms;
  const double single = readWav(dir.file("one.wav")).rms;
  EXPECT_GT(single, 0);
  EXPECT_LT(single, 0.8 * all) << "one voice cannot sound the drums and the melody together";
}

TEST_F(Render, FailuresSayWhat) {
  const Decoded d = decodeExample("worked-example.mid");
  audio::SynthOptions missing;
  missing.soundFont = dir.file("none.sf2");
  EXPECT_EQ(audio::renderWav(d.performance, dir.file("a.wav"), missing).error,
            dir.file("none.sf2") + ": No such file or directory");
  // RIFF, but neither a SoundFont nor a DLS bank; then a SoundFont's start alone.
  for (const std::string& head : {std::string("RIFF\x04\0\0\0WAVE", 12), std::string("RIFF\x04\0\0\0sfbk", 12)}) {
    writeFile(dir.file("bad.sf2"), Bytes(head.begin(), head.end()));
    missing.soundFont = dir.file("bad.sf2");
    EXPECT_EQ(audio::renderWav(d.performance, dir.file("a.wav"), missing).error, "not a SoundFont: " + dir.file("bad.sf2"));
  }
  EXPECT_FALSE(fileExists(dir.file("a.wav")));
  const audio::RenderOutcome r = audio::renderWav(d.performance, dir.file("no/such/folder/a.wav"), {});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.rfind("cannot write " + dir.file("no/such/folder/a.wav") + ": ", 0), 0u) << r.error;
}

TEST_F(Render, PlaybackThroughTheFileDriverEndsOnItsOwn) {
  const std::string out = dir.file("played.wav");
  ::setenv("TONVELL_AUDIO_DRIVER", "file", 1);
  ::setenv("TONVELL_AUDIO_FILE", out.c_str(), 1);
  const Decoded d = decodeExample("worked-example.mid");
  std::mutex m;
  std::condition_variable cv;
  bool finished = false;
  audio::Playback playback;
  std::string error;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(playback.start(d.performance, {},
                             [&] {
                               std::lock_guard<std::mutex> lock(m);
                               finished = true;
                               cv.notify_all();
                             },
                             &error))
      << error;
  EXPECT_TRUE(playback.playing());
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return finished; }));
  }
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_FALSE(playback.playing());
  playback.stop();
  EXPECT_GE(took, d.mfi.seconds - 0.05) << "the file driver plays in real time";
  const Wav w = readWav(out);
  ASSERT_TRUE(w.ok);
  EXPECT_GT(w.peakDbfs, -30.0);
  ::unsetenv("TONVELL_AUDIO_DRIVER");
  ::unsetenv("TONVELL_AUDIO_FILE");
}

TEST_F(Render, AnAudioDriverThatCannotOpenIsReported) {
  ::setenv("TONVELL_AUDIO_DRIVER", "no-such-driver", 1);
  const Decoded d = decodeExample("worked-example.mid");
  audio::Playback playback;
  std::string error;
  EXPECT_FALSE(playback.start(d.performance, {}, nullptr, &error));
  EXPECT_EQ(error.rfind("no audio output", 0), 0u) << error;
  EXPECT_FALSE(playback.playing());
  ::unsetenv("TONVELL_AUDIO_DRIVER");
}

}  // namespace
}  // namespace tonvell::test
