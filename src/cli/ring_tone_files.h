// File handling shared by decode, render and check: whole files in, and the
// outputs named after their inputs, saved as the converter saves.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/options.h"
#include "convert/save.h"
#include "mfi/decode.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace tonvell::cli {

// The file's bytes; false with `why` (the system's reason) when it cannot be read.
bool readFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* why);
// Reads and decodes an MFi file; false, after naming the file and the fault
// on standard error ("COMMAND: PATH: why"), when either fails.
bool readRingTone(const std::string& path, const char* command, DecodedMfi* decoded);

// "--overwrite ask|all|skip" on a subcommand, as the converter takes it.
CLI::Option* addOverwriteOption(CLI::App& command, std::string& mode);

// The outputs of a decode or render run, one for each input, named after it
// and saved as the converter saves: the overwrite question (and its log
// lines on standard output), a temporary file renamed into place, the old
// file kept when writing fails. No output is written over an input of the
// run or over a file the run has written, whatever name leads there. The
// folder is made when the first file is saved; a folder the run made and
// left empty is removed again at its end.
class OutputRun {
 public:
  // `overwrite` is the option's text (empty: ask on a terminal, else skip).
  OutputRun(const char* command, const std::string& folder, const std::string& overwrite,
            const std::vector<std::string>& inputs);
  ~OutputRun();
  OutputRun(const OutputRun&) = delete;
  OutputRun& operator=(const OutputRun&) = delete;

  // `folder`/<input's name without its extension><extension>.
  std::string outputFor(const std::string& input, const std::string& extension) const;

  struct Saved {
    bool ok = false;       // written, or left alone at the question
    bool skipped = false;  // left alone
    OverwriteDecision decision = OverwriteDecision::kNoFile;
  };
  // Saves `output` for `input` through `write`. A failure is named on
  // standard error ("COMMAND: INPUT: cannot write OUTPUT: reason", with
  // `writerError` as the reason when the writer gave up on its own).
  Saved save(const std::string& input, const std::string& output, const OutputWriter& write,
             std::uint64_t maxBytes = UINT64_MAX, const std::string* writerError = nullptr);

  // Flushes what was printed on standard output, keeping the reason of the
  // first failure (a full disk, a closed pipe).
  void flushLog();
  // True when everything printed got out; otherwise says why once
  // ("tonvell-cli: standard output: No space left on device").
  bool logWritten();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tonvell::cli
