// The command line: options into settings, the file arguments and the list
// file into the run's file list, then one batch run shown on the terminal;
// or one of the subcommands.
#include "cli/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <iostream>
#include <optional>
#include <thread>
#include <utility>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/options.h"
#include "cli/terminal.h"
#include "convert/batch.h"
#include "convert/log_text.h"
#include "core/gbk.h"
#include "convert/input.h"
#include "convert/run.h"
#include "convert/paths.h"
#include "convert/save.h"
#include "convert/settings.h"
#include "platform/console.h"
#include "platform/files.h"

namespace tonvell::cli {

namespace {

struct Options {
  std::vector<std::string> files;
  std::string listPath;
  std::string outputFolder = "./";
  std::optional<std::string> title;
  std::optional<std::string> copyright;
  bool noSmfTitle = false;
  bool noSmfCopyright = false;
  bool copyProhibit = false;
  bool format0 = false;
  std::string overwrite;  // empty: by the terminal
  std::string date;
  std::string tracePath;
  bool traceUtf8 = false;
  bool quiet = false;
  int jobs = 0;  // 0: one per core
  bool handset = false;
  std::optional<int> masterVolume;  // on at this value
  bool noMasterVolume = false;
  bool loop = false;
  bool noLoop = false;
};

bool readAll(std::FILE* in, std::string* out) {
  char buffer[65536];
  for (;;) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, in);
    out->append(buffer, n);
    if (n < sizeof buffer) return !std::ferror(in);
  }
}

// The list file's bytes ("-": standard input).
bool readList(const std::string& path, std::string* text, std::string* why) {
  if (path == "-") {
    if (readAll(stdin, text)) return true;
    *why = std::strerror(errno);
    return false;
  }
  std::FILE* f = platform::openFile(path, "rb");
  if (!f) {
    *why = platform::errorText(errno);
    return false;
  }
  const bool ok = readAll(f, text);
  if (!ok) *why = std::strerror(errno);
  std::fclose(f);
  return ok;
}

// Closes what it opened.
struct Files {
  std::FILE* trace = nullptr;
  std::FILE* ttyIn = nullptr;
  std::FILE* ttyOut = nullptr;
  // Closes the trace now; false (with *error set) when it did not get out in full.
  bool closeTrace(int* error) {
    std::FILE* f = std::exchange(trace, nullptr);
    if (!f) return true;
    if (f != stderr) return closeStream(f, error);
    if (std::fflush(f) == 0) return true;
    if (*error == 0) *error = errno;
    return false;
  }
  ~Files() {
    if (trace && trace != stderr) std::fclose(trace);
    if (ttyIn) std::fclose(ttyIn);
    if (ttyOut) std::fclose(ttyOut);
  }
};

int usageError(const CLI::App& app, const std::string& message) {
  return app.exit(CLI::ValidationError(message)) == 0 ? 0 : 2;
}

// Usage errors name the program first, as other tools' do.
std::string usageMessage(const CLI::App* app, const CLI::Error& e) {
  return "tonvell-cli: " + CLI::FailureMessage::simple(app, e);
}

// The path of a file-list line as the run takes it, or empty.
std::string takenPath(const std::string& line) { return line.substr(0, cutLine(line)); }

// Ends the program's use of standard output: everything written must have
// got out (a full disk, a closed pipe). A failure is reported and makes a
// successful run end with 1.
int finishOutput(int status, int error) {
  // std::cout (the help text) writes through stdout; a flush of either one
  // that fails is the first to know why.
  if (std::fflush(stdout) != 0 && error == 0) error = errno;
  std::cout.flush();
  closeStream(stdout, &error);
  if (std::cout.fail() && error == 0) error = EIO;
  if (error == 0) return status;
  reportError("standard output", std::strerror(error));
  return status == 0 ? 1 : status;
}

}  // namespace

int runCli(int argc, char** argv) {
  CLI::App app{"Converts Standard MIDI Files (format 1) into MFi 2.0 ring tones (.mld).", "tonvell-cli"};
  app.footer(
      "The log goes to standard output; progress, questions and the system's reasons for failures to standard "
      "error.\n"
      "Exit status: 0 when no file failed (skipped files are no failure), 1 when one did or the log or trace\n"
      "could not be written, 2 for a usage error.");
  app.set_version_flag("--version", std::string("tonvell-cli ") + TONVELL_VERSION);
  app.failure_message(usageMessage);
  // "/songs/a.mid" is a path on Windows too, never an option.
  app.allow_windows_style_options(false);

  Options o;
  app.add_option("FILE", o.files, "MIDI files to convert (format 1)")->option_text("...");
  app.add_option("-o,--output", o.outputFolder, "Output folder (default ./)")->option_text("DIR");
  app.add_option("-l,--list", o.listPath,
                 "Also read paths from FILE, one per line (\"-\" for standard input)")
      ->option_text("FILE");
  app.add_option("--title", o.title, "Put TEXT into the title");
  app.add_option("--copyright", o.copyright, "Put TEXT into the copyright");
  app.add_flag("--no-smf-title", o.noSmfTitle, "Leave out the MIDI file's sequence name");
  app.add_flag("--no-smf-copyright", o.noSmfCopyright, "Leave out the MIDI file's copyright notice");
  app.add_flag("--copy-prohibit", o.copyProhibit, "Set the copy-prohibit flag");
  app.add_flag("--format0", o.format0,
               "Convert format-0 files too: their track is split into one track per channel first");
  app.add_option("--overwrite", o.overwrite,
                 "ask | all | skip: what to do with an existing output file "
                 "(default: ask on a terminal, skip otherwise)")
      ->check(CLI::IsMember({"ask", "all", "skip"}))
      ->option_text("MODE");
  app.add_option("--date", o.date,
                 "YYYYMMDD written into the header (default: SOURCE_DATE_EPOCH as a UTC date, else today)")
      ->check(CLI::Validator(
          [](std::string& text) { return parseDate(text) ? std::string() : "not a calendar date YYYYMMDD: " + text; },
          "YYYYMMDD"))
      ->option_text("YYYYMMDD");
  auto* trace = app.add_option("--trace", o.tracePath, "Write the conversion trace (GBK) to FILE (\"-\": standard error)")
                    ->option_text("FILE");
  app.add_flag("--trace-utf8", o.traceUtf8, "Write the trace as UTF-8 instead of GBK (with --trace)");
  app.add_flag("--handset", o.handset,
               "Write times, tempos and values as a handset plays the MIDI file (default: ring-tone values as they are)");
  auto* masterVolume = app.add_option("--master-volume", o.masterVolume,
                                      "With --handset: master volume N at the start (default 100)")
                           ->check(CLI::Range(0, 127))
                           ->option_text("N");
  app.add_flag("--no-master-volume", o.noMasterVolume, "With --handset: no master volume")->excludes(masterVolume);
  auto* loop = app.add_flag("--loop", o.loop, "With --handset: mark the whole song to loop (the default)");
  app.add_flag("--no-loop", o.noLoop, "With --handset: no loop marks")->excludes(loop);
  app.add_flag("-q,--quiet", o.quiet, "No progress display");
  app.add_option("-j,--jobs", o.jobs,
                 "Convert N files at once (default: one per core); the log and the files are as with -j 1")
      ->check(CLI::Range(1, 256))
      ->option_text("N");

  // The subcommands, each registered by its own function.
  const std::vector<Subcommand> subcommands = {addInspectCommand(app), addDecodeCommand(app), addRenderCommand(app),
                                               addCheckCommand(app)};
  app.require_subcommand(0, 1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return finishOutput(app.exit(e) == 0 ? 0 : 2, 0);
  }
  for (const Subcommand& command : subcommands) {
    if (!command.app->parsed()) continue;
    if (!o.files.empty() || !o.listPath.empty())
      return usageError(app, "FILE and --list do not go with " + command.app->get_name());
    return finishOutput(command.run(), 0);
  }
  if (o.files.empty() && o.listPath.empty()) return app.exit(CLI::RequiredError("FILE or --list")) == 0 ? 0 : 2;
  if (o.traceUtf8 && trace->count() == 0) return usageError(app, "--trace-utf8 needs --trace");
  // An empty folder name would mean the root folder.
  if (o.outputFolder.empty()) return usageError(app, "--output: the folder name is empty (./ is the current folder)");

  // The date of every header of this run.
  CalendarDate date;
  if (!o.date.empty()) {
    date = *parseDate(o.date);
  } else if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
    const auto d = dateFromEpoch(epoch);
    if (!d) return usageError(app, std::string("SOURCE_DATE_EPOCH is not a number of seconds: ") + epoch);
    date = *d;
  } else {
    date = localToday();
  }

  // The file list: the arguments, then the list file's lines.
  std::vector<std::string> lines = o.files;
  if (!o.listPath.empty()) {
    std::string text, why;
    if (!readList(o.listPath, &text, &why)) return usageError(app, "cannot read the list " + o.listPath + ": " + why);
    for (std::string& l : splitListLines(text)) lines.push_back(std::move(l));
  }

  // The trace file is cut to nothing when opened: it must not be one of the
  // files the run reads.
  if (!o.tracePath.empty() && o.tracePath != "-") {
    FileIdentity traceFile, input;
    std::vector<std::string> inputs;
    for (const std::string& line : lines) inputs.push_back(takenPath(line));
    if (o.listPath != "-") inputs.push_back(o.listPath);
    if (identifyFile(o.tracePath, &traceFile)) {
      for (const std::string& path : inputs) {
        if (!path.empty() && identifyFile(path, &input) && input == traceFile)
          return usageError(app, "--trace " + sanitizeUtf8(o.tracePath) + " is an input of this run (" +
                                     sanitizeUtf8(path) + ") and would be overwritten");
      }
    }
    // Nor one the run writes.
    const std::string folder = endsWithSeparator(o.outputFolder, kNativeRules) ? o.outputFolder
                                                                                : o.outputFolder + kNativeRules.separator;
    for (const std::string& path : inputs) {
      if (path.empty() || path == o.listPath) continue;
      if (sameFile(o.tracePath, outputPathFor(folder, path)))
        return usageError(app, "--trace " + sanitizeUtf8(o.tracePath) + " is an output of this run (of " +
                                   sanitizeUtf8(path) + ")");
    }
  }

  Files files;
  if (!o.tracePath.empty()) {
    files.trace = o.tracePath == "-" ? stderr : platform::openFile(o.tracePath, "wb");
    if (!files.trace)
      return usageError(app, "cannot write the trace " + o.tracePath + ": " + platform::errorText(errno));
  }

  // Answers come from standard input, unless it carried the list; then from
  // the terminal, if there is one.
  std::FILE* answers = stdin;
  std::FILE* question = stderr;
  if (o.listPath == "-") {
    const platform::QuestionConsole console = platform::openQuestionConsole();
    files.ttyIn = console.in;
    files.ttyOut = console.out;
    answers = files.ttyIn;
    if (files.ttyOut) question = files.ttyOut;
  }
  OverwriteMode mode;
  if (o.overwrite == "all")
    mode = OverwriteMode::kAll;
  else if (o.overwrite == "skip")
    mode = OverwriteMode::kSkip;
  else if (o.overwrite == "ask")
    mode = OverwriteMode::kAsk;
  else
    mode = platform::isInteractive(answers) ? OverwriteMode::kAsk : OverwriteMode::kSkip;

  // The progress line only on a terminal, and not where the trace goes.
  const bool progress = !o.quiet && platform::drawsProgress(stderr) && files.trace != stderr;

  const int taken = countTakenLines(lines);
  CliView view(stdout, stderr, taken, progress);
  CliPrompt prompt(mode, view, answers, question);

  ConverterSettings s;
  applyDefaults(s);
  s.outputFolder = o.outputFolder;
  if (o.title) {
    s.titleSwitch = 1;
    s.titleText = *o.title;
  }
  if (o.copyright) {
    s.copyrightSwitch = 1;
    s.copyrightText = *o.copyright;
  }
  if (o.noSmfTitle) s.smfSeqNameSwitch = 0;
  if (o.noSmfCopyright) s.smfCopyrightSwitch = 0;
  if (o.copyProhibit) s.copyProhibit = 1;
  if (o.format0) s.format0Switch = 1;
  if (o.handset) s.handsetSwitch = 1;
  if (o.masterVolume) {
    s.masterVolumeSwitch = 1;
    s.masterVolume = *o.masterVolume;
  }
  if (o.noMasterVolume) s.masterVolumeSwitch = 0;
  if (o.loop) s.loopSwitch = 1;
  if (o.noLoop) s.loopSwitch = 0;

  TraceChannel traceChannel;
  std::optional<TraceWriter> traceWriter;
  if (files.trace) {
    traceWriter.emplace(files.trace, o.traceUtf8);
    traceChannel.setSink([&traceWriter](std::string_view bytes) { traceWriter->write(bytes); });
  }

  BatchOptions options;
  options.date = date;
  options.trace = &traceChannel;
  options.jobs = o.jobs > 0 ? o.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // An interrupted run leaves no temporary file behind.
  removeTemporaryOutputOnSignals();
  // The log starts with the banner, as the window's does.
  view.writeOut(logtext::banner());
  BatchRun run(s, prompt, view, options);
  const RunSummary summary = run.run(lines);
  view.clearProgress();
  int status = summary.failed > 0 ? 1 : 0;
  int traceError = 0;
  if (traceWriter) {
    traceWriter->finish();
    traceError = traceWriter->error();
  }
  if (!files.closeTrace(&traceError) || traceError != 0) {
    reportError(o.tracePath == "-" ? std::string("the trace") : o.tracePath, std::strerror(traceError));
    status = 1;
  }
  return finishOutput(status, view.outputError());
}

}  // namespace tonvell::cli
