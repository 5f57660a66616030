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

// The help lists each option on one line, name and value, then what it
// does; an option's relations to others are said in its description.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* opt) const override {
    if (opt->get_option_text().empty() && opt->get_expected_max() == 0) return {};  // a flag: no "Excludes:"
    return CLI::Formatter::make_option_opts(opt);
  }
};

// "--output" for -o,--output: the name an option is known by.
std::string optionName(const CLI::Option* opt) { return opt->get_name(false, false); }

// The option of `command` that answers to one of the names of `opt`.
CLI::Option* sameOption(CLI::App& command, const CLI::Option* opt) {
  for (const std::string& name : opt->get_lnames())
    if (CLI::Option* own = command.get_option_no_throw("--" + name)) return own;
  for (const std::string& name : opt->get_snames())
    if (CLI::Option* own = command.get_option_no_throw("-" + name)) return own;
  return nullptr;
}

// Where an option that does not go here belongs: the commands that take it.
std::string whereOptionBelongs(const CLI::App& app, const std::string& arg) {
  const std::string name = arg.substr(0, arg.find('='));
  if (name.size() < 2 || name[0] != '-' || name == "--") return {};
  std::vector<std::string> takers;
  if (app.get_option_no_throw(name)) takers.push_back("the conversion (tonvell-cli [OPTIONS] FILE...)");
  for (const CLI::App* command : app.get_subcommands({}))
    if (command->get_option_no_throw(name))
      takers.push_back(command->get_name() + " (tonvell-cli " + command->get_name() + " [OPTIONS] FILE...)");
  if (takers.empty()) return {};
  std::string text = name + " is an option of ";
  for (std::size_t i = 0; i < takers.size(); ++i) text += (i == 0 ? "" : i + 1 == takers.size() ? " and " : ", ") + takers[i];
  return text;
}

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

// The arguments as CLI11 should see them: "--output=" (an empty value) as
// "--output" "", which CLI11 would otherwise read as "--output" taking the
// next argument for its value.
std::vector<std::string> spelledOut(const CLI::App& app, int argc, char** argv) {
  std::vector<std::string> args;
  const auto takesValue = [&app](const std::string& name) {
    if (const CLI::Option* opt = app.get_option_no_throw(name); opt && opt->get_expected_min() > 0) return true;
    for (const CLI::App* command : app.get_subcommands({}))
      if (const CLI::Option* opt = command->get_option_no_throw(name); opt && opt->get_expected_min() > 0) return true;
    return false;
  };
  bool options = true;  // until "--"
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") options = false;
    if (options && arg.size() > 3 && arg.rfind("--", 0) == 0 && arg.back() == '=' && arg.find('=') == arg.size() - 1 &&
        takesValue(arg.substr(0, arg.size() - 1))) {
      args.push_back(arg.substr(0, arg.size() - 1));
      args.emplace_back();
    } else {
      args.push_back(arg);
    }
  }
  // CLI11 takes them last first.
  std::reverse(args.begin(), args.end());
  return args;
}

// The options of the conversion given before a subcommand (tonvell-cli -o DIR
// decode ...): each one the subcommand takes too is handed to it; any other
// is a usage error that says where it belongs. Empty when all went well.
std::string handOverOptions(const CLI::App& app, CLI::App& command) {
  for (const CLI::Option* opt : app.get_options()) {
    if (opt->count() == 0 || opt->get_positional() || opt == app.get_help_ptr() || opt == app.get_version_ptr())
      continue;
    const std::string name = optionName(opt);
    CLI::Option* own = sameOption(command, opt);
    if (!own)
      return name + " is an option of the conversion (tonvell-cli [OPTIONS] FILE...), not of " + command.get_name();
    if (own->count() > 0) return name + " is given both before and after " + command.get_name();
    own->add_result(opt->results());
    own->run_callback();
  }
  return {};
}

}  // namespace

CLI::Validator decimalNumber(long long min, long long max) {
  const std::string range = std::to_string(min) + " to " + std::to_string(max);
  return CLI::Validator(
      [min, max, range](std::string& text) -> std::string {
        const std::optional<long long> value = parseDecimal(text);
        if (!value) return text.empty() ? std::string("no number given") : "not a whole number in decimal digits: " + text;
        if (*value < min || *value > max) return text + " is out of range (" + range + ")";
        text = std::to_string(*value);
        return {};
      },
      "N");
}

CLI::Validator outputFolderName() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return text.empty() ? "the folder name is empty (./ is the current folder)" : std::string();
      },
      "DIR");
}

int runCli(int argc, char** argv) {
  CLI::App app{"Converts Standard MIDI Files (format 1) into MFi 2.0 ring tones (.mld).", "tonvell-cli"};
  app.footer(
      "The log goes to standard output; progress, questions and the system's reasons for failures to standard "
      "error.\n"
      "Exit status: 0 when no file failed (skipped files are no failure), 1 when one did or the log or trace\n"
      "could not be written, 2 for a usage error.");
  app.set_version_flag("--version", std::string("tonvell-cli ") + TONVELL_VERSION);
  app.failure_message(usageMessage);
  // Before the subcommands are added: they take the formatter with them.
  app.formatter(std::make_shared<HelpFormatter>());
  // "/songs/a.mid" is a path on Windows too, never an option.
  app.allow_windows_style_options(false);

  Options o;
  app.add_option("FILE", o.files, "MIDI files to convert (format 1)")->option_text("...");
  app.add_option("-o,--output", o.outputFolder, "Output folder (default ./)")
      ->check(outputFolderName())
      ->option_text("DIR");
  // An empty name would quietly mean none.
  const auto fileName = [](const std::string& text) {
    return text.empty() ? std::string("the file name is empty") : std::string();
  };
  app.add_option("-l,--list", o.listPath,
                 "Also read paths from FILE, one per line (\"-\" for standard input)")
      ->check(fileName)
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
                    ->check(fileName)
                    ->option_text("FILE");
  app.add_flag("--trace-utf8", o.traceUtf8, "Write the trace as UTF-8 instead of GBK (with --trace)");
  app.add_flag("--handset", o.handset,
               "Write times, tempos and values as a handset plays the MIDI file (default: ring-tone values as they are)");
  auto* masterVolume = app.add_option("--master-volume", o.masterVolume,
                                      "With --handset: master volume N (0 to 127) at the start (default 100)")
                           ->transform(decimalNumber(0, 127))
                           ->option_text("N");
  auto* noMasterVolume =
      app.add_flag("--no-master-volume", o.noMasterVolume, "With --handset: no master volume; not with --master-volume")
          ->excludes(masterVolume);
  auto* loop =
      app.add_flag("--loop", o.loop, "With --handset: mark the whole song to loop (the default); not with --no-loop");
  auto* noLoop = app.add_flag("--no-loop", o.noLoop, "With --handset: no loop marks; not with --loop")->excludes(loop);
  app.add_flag("-q,--quiet", o.quiet, "No progress display");
  app.add_option("-j,--jobs", o.jobs,
                 "Convert N files at once (default: one per core); the log and the files are as with -j 1")
      ->transform(decimalNumber(1, 256))
      ->option_text("N");

  // The subcommands, each registered by its own function.
  const std::vector<Subcommand> subcommands = {addInspectCommand(app), addDecodeCommand(app), addRenderCommand(app),
                                               addCheckCommand(app)};
  app.require_subcommand(0, 1);

  try {
    app.parse(spelledOut(app, argc, argv));
  } catch (const CLI::ExtrasError& e) {
    // An option in the wrong place: say where it goes.
    for (const std::string& arg : app.remaining(true))
      if (const std::string where = whereOptionBelongs(app, arg); !where.empty())
        return usageError(app, "unexpected " + arg + ": " + where);
    return finishOutput(app.exit(e) == 0 ? 0 : 2, 0);
  } catch (const CLI::ParseError& e) {
    return finishOutput(app.exit(e) == 0 ? 0 : 2, 0);
  }
  for (const Subcommand& command : subcommands) {
    if (!command.app->parsed()) continue;
    if (!o.files.empty()) return usageError(app, "FILE does not go with " + command.app->get_name());
    try {
      if (const std::string wrong = handOverOptions(app, *command.app); !wrong.empty()) return usageError(app, wrong);
    } catch (const CLI::ParseError& e) {
      return app.exit(e) == 0 ? 0 : 2;
    }
    const int status = command.run();
    return finishOutput(status, standardOutputError());
  }
  if (o.files.empty() && o.listPath.empty()) return app.exit(CLI::RequiredError("FILE or --list")) == 0 ? 0 : 2;
  if (o.traceUtf8 && trace->count() == 0) return usageError(app, "--trace-utf8 needs --trace");
  // The handset mode's own settings say nothing without it.
  if (!o.handset) {
    for (const CLI::Option* handsetOnly : {masterVolume, noMasterVolume, loop, noLoop})
      if (handsetOnly->count() > 0) return usageError(app, optionName(handsetOnly) + " needs --handset");
  }

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
  view.holdFileLines(!platform::isInteractive(stdout) && !platform::mayShareFile(files.trace, stderr) &&
                     !platform::mayShareFile(files.trace, stdout));
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
  {
    const std::string folder = s.outputFolder.empty() ? "." : s.outputFolder;
    for (std::FILE* stream : {stdout, stderr, files.trace}) {
      if (platform::writesBeside(stream, folder)) options.saveAhead = false;
    }
  }
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
