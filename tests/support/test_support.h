// Shared pieces of the tests: a display that records what the run shows, a
// prompt that answers from a script, MIDI byte builders and temp folders.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "convert/pipeline.h"
#include "convert/run.h"

namespace tonvell::test {

using Bytes = std::vector<std::uint8_t>;

// What one push showed.
struct Snapshot {
  std::string logText, statusText, percentText;
  int progressPos = 0;
};

class RecordingDisplay : public RunDisplay {
 public:
  std::vector<std::string> lines{""};  // the file list; an empty list has one empty line
  const RunFields* fields = nullptr;   // what push shows; set by attach()
  std::vector<Snapshot> pushes;
  int repaints = 0;
  int pulls = 0;

  void attach(const Converter& converter) { fields = &converter.fields; }
  int lineCount() override { return static_cast<int>(lines.size()); }
  std::string line(int index) override { return lines.at(static_cast<size_t>(index)); }
  bool pull() override {
    ++pulls;
    return true;
  }
  void push() override {
    if (fields) pushes.push_back({fields->logText, fields->statusText, fields->percentText, fields->progressPos});
  }
  void repaint() override { ++repaints; }
};

class ScriptedPrompt : public OverwritePrompt {
 public:
  std::deque<OverwriteAnswer> answers;
  std::vector<std::string> asked;
  // Runs before each answer with the path asked about: the prompt comes
  // between the existence check and the write, so a test can change the
  // file system there.
  std::function<void(const std::string&)> onAsk;
  OverwriteAnswer ask(const std::string& path) override {
    asked.push_back(path);
    if (onAsk) onAsk(path);
    if (answers.empty()) return OverwriteAnswer::kSkip;
    const OverwriteAnswer a = answers.front();
    answers.pop_front();
    return a;
  }
};

// A converter over a recording display and a scripted prompt, with a fixed date.
struct Harness {
  RecordingDisplay display;
  ScriptedPrompt prompt;
  Converter converter{display, prompt};
  Harness() {
    display.attach(converter);
    converter.today = [] { return CalendarDate{2003, 1, 5}; };
  }
};

// Collects the trace as bytes.
struct TraceRecorder {
  std::string bytes;
  std::vector<std::string> calls;
  void attach(TraceChannel& channel) {
    channel.setSink([this](std::string_view b) {
      bytes.append(b);
      calls.emplace_back(b);
    });
  }
};

// Hex "4D 54 ..." (spaces optional) to bytes.
Bytes hex(const std::string& text);
std::string hexOf(const Bytes& bytes);
std::string hexOf(const std::uint8_t* data, std::size_t size);
std::string toString(const Bytes& bytes);

// Standard MIDI File builders.
Bytes varLen(std::uint32_t value);
Bytes smfHeader(int format, int tracks, int division);
Bytes track(const Bytes& events);  // "MTrk", length, events
Bytes concat(std::initializer_list<Bytes> parts);
// An MFi file around the given track events (hex), with 4-byte notes unless
// `noteChunk` is false, and extra information chunks after "vers".
Bytes mfiFile(const std::vector<std::string>& tracks, bool noteChunk = true, const Bytes& extraChunks = {});

// The 107-byte example file of three tracks (division 480).
Bytes workedExample();

// The split, then the translation, on a loaded input.
ConvertResult analyseSmf(PassContext& pass);

// Converts bytes headless; on 108 `out` gets the MFi file.
ConvertResult convertBytes(const Bytes& input, Bytes* out, const ConverterSettings& settings = {},
                           TraceChannel* trace = nullptr, CalendarDate date = {2003, 1, 5});

// A fresh temporary folder, removed with its contents when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The ".mid" files of `folder`, as paths, sorted; none when it cannot be read.
std::vector<std::string> midiFilesIn(const std::string& folder);

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);
bool fileExists(const std::string& path);

// Whether this build's tonvell-cli has render (the Windows build has no
// synthesizer).
extern const bool kRenderBuilt;
// Whether the tests run on a POSIX system (/bin/sh, /dev/full and the like).
extern const bool kPosixSystem;

// Built with AddressSanitizer: the same code runs several times slower.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// The processor time this thread has used, in seconds. Tests that bound how
// long work takes measure this, never the wall clock: a busy machine makes
// the work wait, not cost more.
double threadCpuSeconds();

// A program run to its end: exit status (128 + signal when killed), and
// everything it wrote to standard output and standard error.
struct ProcessResult {
  int status = -1;
  std::string out, err;
};

// Runs argv[0] (searched in PATH) with `input` on its standard input, in the
// folder `cwd` when not empty. `env` entries "NAME=value" are set, a bare
// "NAME" is removed from the environment.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::string& cwd = "", const std::vector<std::string>& env = {});

}  // namespace tonvell::test
