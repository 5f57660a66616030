// Each pass of a conversion on its own (split, translation, assembly,
// header) and the whole conversion, over generated songs from 1 KiB to 8 MiB
// and over the real songs of TONVELL_SONGS_DIR (all of them per iteration).
// The benchmarks report the input's bytes per second and its MIDI events per
// second; the assembly reports MFi events per second, the header the bytes
// it writes. A pass is timed alone: the state it starts from is restored
// between iterations outside the timed part. The whole conversion is
// convertMidi, as a batch calls it for every file: loading included, with
// the workspace its thread keeps from file to file.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "convert/run.h"
#include "mfi/assemble.h"
#include "mfi/translate.h"
#include "smf/split.h"
#include "support/allocation_counter.h"
#include "support/note_scan.h"
#include "support/song_generator.h"

// Every allocation of the program is counted: the whole conversion reports
// how many it makes per input.

namespace tonvell::bench {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Input {
  Bytes bytes;
  std::int64_t events = 0;  // MIDI events
};

// MIDI events of a Standard MIDI File, counted by a reader of its own.
std::int64_t countEvents(const Bytes& b) {
  std::int64_t events = 0;
  std::size_t pos = 14;
  while (pos + 8 <= b.size()) {
    const std::uint32_t length = (std::uint32_t{b[pos + 4]} << 24) | (std::uint32_t{b[pos + 5]} << 16) |
                                 (std::uint32_t{b[pos + 6]} << 8) | b[pos + 7];
    const bool isTrack = std::memcmp(&b[pos], "MTrk", 4) == 0;
    pos += 8;
    const std::size_t end = std::min(b.size(), pos + length);
    if (!isTrack) {
      pos = end;
      continue;
    }
    int running = 0;
    auto varLen = [&] {
      std::uint32_t v = 0;
      while (pos < end) {
        const std::uint8_t c = b[pos++];
        v = (v << 7) | (c & 0x7F);
        if (!(c & 0x80)) break;
      }
      return v;
    };
    while (pos < end) {
      varLen();
      if (pos >= end) break;
      int status = running;
      if (b[pos] & 0x80) status = b[pos++];
      if (status == 0xFF) {
        ++pos;
        pos += varLen();
      } else if (status == 0xF0 || status == 0xF7) {
        pos += varLen();
      } else {
        running = status;
        pos += ((status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) ? 1 : 2;
      }
      ++events;
    }
    pos = end;
  }
  return events;
}

const Input& generated(std::int64_t size) {
  static std::map<std::int64_t, Input> cache;
  auto it = cache.find(size);
  if (it == cache.end()) {
    test::GeneratedSong song = test::generateSong(static_cast<std::size_t>(size));
    it = cache.emplace(size, Input{std::move(song.bytes), song.events}).first;
  }
  return it->second;
}

// The channel's note-ons never end: the look-ahead's worst case.
const Input& unendedNotes(std::int64_t notes) {
  static std::map<std::int64_t, Input> cache;
  auto it = cache.find(notes);
  if (it == cache.end()) {
    Bytes events;
    for (std::int64_t i = 0; i < notes; ++i) events.insert(events.end(), {0x00, 0x90, static_cast<std::uint8_t>(45 + i % 60), 0x40});
    events.insert(events.end(), {0x00, 0xFF, 0x2F, 0x00});
    Bytes file{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0x01, 0xE0, 'M', 'T', 'r', 'k', 0, 0, 0, 4, 0x00, 0xFF, 0x2F, 0x00};
    const auto n = static_cast<std::uint32_t>(events.size());
    const std::uint8_t head[] = {'M', 'T', 'r', 'k', static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                                 static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    file.insert(file.end(), std::begin(head), std::end(head));
    file.insert(file.end(), events.begin(), events.end());
    it = cache.emplace(notes, Input{std::move(file), notes + 2}).first;
  }
  return it->second;
}

std::vector<Input>& songs() {
  static std::vector<Input> all = [] {
    std::vector<Input> found;
    const char* dir = std::getenv("TONVELL_SONGS");
    const std::filesystem::path folder = dir ? dir : TONVELL_SONGS_DIR;
    std::error_code ec;
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
      if (entry.path().extension() == ".mid") paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    for (const auto& p : paths) {
      std::ifstream f(p, std::ios::binary);
      Input in{Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()), 0};
      in.events = countEvents(in.bytes);
      found.push_back(std::move(in));
    }
    return found;
  }();
  return all;
}

// One input in a workspace, brought to the state a pass starts from.
struct Stage {
  ConversionWorkspace ws;
  NullProgress progress;
  TraceChannel trace;
  ConverterSettings settings;
  DateSource today = [] { return CalendarDate{2003, 1, 5}; };
  const Input* input = nullptr;
  // What the translation changes of the split's result, and the translation's result.
  int streamPos[16] = {};
  int streamLength[16] = {};
  Bytes events;

  PassContext pass() { return PassContext{ws, progress, trace, conversionOptions(settings), today()}; }

  bool load(const Input& in) {
    input = &in;
    return loadInputBytes(std::string_view(reinterpret_cast<const char*>(in.bytes.data()), in.bytes.size()), ws) ==
           result::kSuccess;
  }
  bool split() {
    PassContext p = pass();
    if (splitChannels(p) != result::kSuccess) return false;
    std::copy(std::begin(ws.streamPos), std::end(ws.streamPos), streamPos);
    std::copy(std::begin(ws.streamLength), std::end(ws.streamLength), streamLength);
    return true;
  }
  void restoreSplit() {
    std::copy(std::begin(streamPos), std::end(streamPos), ws.streamPos);
    std::copy(std::begin(streamLength), std::end(streamLength), ws.streamLength);
    ws.overflow = false;
  }
  bool translate() {
    PassContext p = pass();
    if (translateChannels(p) != result::kSuccess) return false;
    events.assign(ws.bufferB.get(), ws.bufferB.get() + ws.mfiEventBytes);
    return true;
  }
  void restoreTranslation() {
    std::memcpy(ws.bufferB.get(), events.data(), events.size());
    ws.overflow = false;
  }
};

using Clock = std::chrono::steady_clock;

enum class Pass { kSplit, kTranslation, kTranslationByScan, kAssembly, kHeader, kConversion };

// Runs `which` over the inputs once per iteration and reports rates.
void runPass(benchmark::State& state, Pass which, const std::vector<const Input*>& inputs) {
  std::vector<std::unique_ptr<Stage>> stages;
  std::int64_t bytes = 0, midiEvents = 0, mfiEvents = 0;
  for (const Input* in : inputs) {
    auto s = std::make_unique<Stage>();
    bytes += static_cast<std::int64_t>(in->bytes.size());
    midiEvents += in->events;
    if (!s->load(*in) || !s->split() || !s->translate()) {
      state.SkipWithError("an input does not convert");
      return;
    }
    mfiEvents += s->ws.mfiEventBytes / 4;
    if (which == Pass::kConversion) s->ws.releaseBuffers();
    if (which == Pass::kTranslation || which == Pass::kTranslationByScan) s->restoreSplit();
    stages.push_back(std::move(s));
  }

  long long allocated = 0;
  std::int64_t headerBytes = 0;
  for (auto _ : state) {
    double seconds = 0;
    for (auto& s : stages) {
      ConversionWorkspace& ws = s->ws;
      PassContext pass = s->pass();
      ConvertResult code = result::kSuccess;
      switch (which) {
        case Pass::kSplit: {
          // The buffers stay; only the input is put back.
          std::memcpy(ws.bufferA.get(), s->input->bytes.data(), s->input->bytes.size());
          ws.overflow = false;
          const auto t0 = Clock::now();
          code = splitChannels(pass);
          seconds += std::chrono::duration<double>(Clock::now() - t0).count();
          break;
        }
        case Pass::kTranslation:
        case Pass::kTranslationByScan: {
          test::ScanNoteLengths scan;
          s->restoreSplit();
          const auto t0 = Clock::now();
          code = translateChannels(pass, which == Pass::kTranslationByScan ? &scan : nullptr);
          seconds += std::chrono::duration<double>(Clock::now() - t0).count();
          break;
        }
        case Pass::kAssembly: {
          s->restoreTranslation();
          const auto t0 = Clock::now();
          code = assembleMfi(pass);
          seconds += std::chrono::duration<double>(Clock::now() - t0).count();
          break;
        }
        case Pass::kHeader: {
          ws.writeBase = ws.bufferB.get();
          ws.writeLength = 0;
          const auto t0 = Clock::now();
          code = writeMfiHeader(pass);
          seconds += std::chrono::duration<double>(Clock::now() - t0).count();
          headerBytes += ws.writeLength;
          break;
        }
        case Pass::kConversion: {
          const long long before = test::allocations.load(std::memory_order_relaxed);
          const auto t0 = Clock::now();
          const ConversionResult converted = convertMidi(s->input->bytes, pass.options, pass.date);
          seconds += std::chrono::duration<double>(Clock::now() - t0).count();
          code = converted.code;
          allocated += test::allocations.load(std::memory_order_relaxed) - before;
          break;
        }
      }
      if (code != result::kSuccess) {
        state.SkipWithError("a pass failed");
        return;
      }
      benchmark::DoNotOptimize(ws.writeLength);
    }
    state.SetIterationTime(seconds);
  }

  const auto iterations = static_cast<std::int64_t>(state.iterations());
  if (which == Pass::kHeader) {
    // The header does not depend on the input's size: bytes written.
    state.SetBytesProcessed(headerBytes);
    return;
  }
  state.SetBytesProcessed(iterations * bytes);
  const std::int64_t events = which == Pass::kAssembly ? mfiEvents : midiEvents;
  state.counters[which == Pass::kAssembly ? "mfi_events/s" : "events/s"] =
      benchmark::Counter(static_cast<double>(iterations * events), benchmark::Counter::kIsRate);
  if (which == Pass::kConversion)
    state.counters["allocs/file"] = static_cast<double>(allocated) / static_cast<double>(iterations * static_cast<std::int64_t>(stages.size()));
}

void generatedPass(benchmark::State& state, Pass which) { runPass(state, which, {&generated(state.range(0))}); }

void songsPass(benchmark::State& state, Pass which) {
  std::vector<const Input*> inputs;
  for (const Input& in : songs()) inputs.push_back(&in);
  if (inputs.empty()) {
    state.SkipWithError("no songs (scripts/fetch-songs.sh, or TONVELL_SONGS=folder)");
    return;
  }
  runPass(state, which, inputs);
}

void BM_Split(benchmark::State& s) { generatedPass(s, Pass::kSplit); }
void BM_Translation(benchmark::State& s) { generatedPass(s, Pass::kTranslation); }
void BM_Assembly(benchmark::State& s) { generatedPass(s, Pass::kAssembly); }
void BM_Header(benchmark::State& s) { generatedPass(s, Pass::kHeader); }
void BM_Conversion(benchmark::State& s) { generatedPass(s, Pass::kConversion); }
void BM_UnendedNotes(benchmark::State& s) { runPass(s, Pass::kConversion, {&unendedNotes(s.range(0))}); }

void BM_SongsSplit(benchmark::State& s) { songsPass(s, Pass::kSplit); }
void BM_SongsTranslation(benchmark::State& s) { songsPass(s, Pass::kTranslation); }
// The same with each note's end found by scanning ahead from its note-on.
void BM_SongsTranslationByScan(benchmark::State& s) { songsPass(s, Pass::kTranslationByScan); }
void BM_SongsAssembly(benchmark::State& s) { songsPass(s, Pass::kAssembly); }
void BM_SongsHeader(benchmark::State& s) { songsPass(s, Pass::kHeader); }
void BM_SongsConversion(benchmark::State& s) { songsPass(s, Pass::kConversion); }

// Input sizes: 1 KiB, 4 KiB, ... 4 MiB, 8 MiB.
void sizes(benchmark::internal::Benchmark* b) {
  b->RangeMultiplier(4)->Range(1 << 10, 8 << 20)->UseManualTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Split)->Apply(sizes);
BENCHMARK(BM_Translation)->Apply(sizes);
BENCHMARK(BM_Assembly)->Apply(sizes);
BENCHMARK(BM_Header)->Apply(sizes);
BENCHMARK(BM_Conversion)->Apply(sizes);
// 25000 to 200000 note-ons (100 KiB to 800 KiB) on one channel.
BENCHMARK(BM_UnendedNotes)->Arg(25000)->Arg(50000)->Arg(100000)->Arg(200000)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK(BM_SongsSplit)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SongsTranslation)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SongsTranslationByScan)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SongsAssembly)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SongsHeader)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SongsConversion)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tonvell::bench
