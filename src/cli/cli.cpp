// The command line: options into settings, the file arguments and the list
// file into the run's file list, then one batch run shown on the terminal.
#include "cli/cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/options.h"
#include "cli/terminal.h"
#include "convert/batch.h"
#include "convert/log_text.h"
#include "convert/run.h"
#include "convert/settings.h"

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
  std::string overwrite;  // empty: by the terminal
  std::string date;
  std::string tracePath;
  bool traceUtf8 = false;
  bool quiet = false;
  int jobs = 0;  // 0: one per core
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
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *why = std::strerror(errno);
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
  ~Files() {
    if (trace && trace != stderr) std::fclose(trace);
    if (ttyIn) std::fclose(ttyIn);
    if (ttyOut) std::fclose(ttyOut);
  }
};

int usageError(const CLI::App& app, const std::string& message) {
  return app.exit(CLI::ValidationError(message)) == 0 ? 0 : 2;
}

}  // namespace

int runCli(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "inspect") == 0) return runInspect(argc - 1, argv + 1);
  if (argc >= 2 && std::strcmp(argv[1], "decode") == 0) return runDecode(argc - 1, argv + 1);
  if (argc >= 2 && std::strcmp(argv[1], "render") == 0) return runRender(argc - 1, argv + 1);
  if (argc >= 2 && std::strcmp(argv[1], "check") == 0) return runCheck(argc - 1, argv + 1);

  CLI::App app{"Converts Standard MIDI Files (format 1) into MFi 2.0 ring tones (.mld).", "tonvell-cli"};
  app.footer(
      "The log goes to standard output; progress and questions to standard error.\n"
      "Exit status: 0 when no file failed (skipped files are no failure), 1 when one did, 2 for a usage error.\n"
      "\n"
      "  tonvell-cli inspect FILE.mld...   checks MFi files and lists what they hold\n"
      "  tonvell-cli decode FILE.mld...    writes each ring tone as players read it as NAME.mid\n"
      "  tonvell-cli render FILE.mld...    plays each ring tone through FluidSynth into NAME.wav\n"
      "  tonvell-cli check FILE.mid...     reports what a handset loses or mishears of each file");
  app.set_version_flag("--version", std::string("tonvell-cli ") + TONVELL_VERSION);

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
  app.add_flag("--trace-utf8", o.traceUtf8, "Write the trace as UTF-8 instead of GBK (with --trace)")->needs(trace);
  app.add_flag("-q,--quiet", o.quiet, "No progress display");
  app.add_option("-j,--jobs", o.jobs,
                 "Convert N files at once (default: one per core); the log and the files are as with -j 1")
      ->check(CLI::Range(1, 256))
      ->option_text("N");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (o.files.empty() && o.listPath.empty()) return app.exit(CLI::RequiredError("FILE or --list")) == 0 ? 0 : 2;

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

  Files files;
  if (!o.tracePath.empty()) {
    files.trace = o.tracePath == "-" ? stderr : std::fopen(o.tracePath.c_str(), "wb");
    if (!files.trace)
      return usageError(app, "cannot write the trace " + o.tracePath + ": " + std::strerror(errno));
  }

  // Answers come from standard input, unless it carried the list; then from
  // the terminal, if there is one.
  std::FILE* answers = stdin;
  std::FILE* question = stderr;
  if (o.listPath == "-") {
    files.ttyIn = std::fopen("/dev/tty", "r");
    if (files.ttyIn) files.ttyOut = std::fopen("/dev/tty", "w");
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
    mode = answers && ::isatty(fileno(answers)) ? OverwriteMode::kAsk : OverwriteMode::kSkip;

  // The progress line only on a terminal, and not where the trace goes.
  std::FILE* progress = !o.quiet && ::isatty(STDERR_FILENO) && files.trace != stderr ? stderr : nullptr;

  const int taken = countTakenLines(lines);
  CliView view(stdout, progress, taken);
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
  // The log starts with the banner, as the window's does.
  std::fputs(logtext::banner().c_str(), stdout);
  std::fflush(stdout);
  BatchRun run(s, prompt, view, options);
  const RunSummary summary = run.run(lines);
  view.clearProgress();
  if (traceWriter) traceWriter->finish();
  return summary.failed > 0 ? 1 : 0;
}

}  // namespace tonvell::cli
