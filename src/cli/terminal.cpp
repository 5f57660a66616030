#include "cli/terminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "convert/log_text.h"
#include "convert/paths.h"
#include "core/gbk.h"
#include "platform/console.h"
#include "platform/saving.h"

namespace tonvell::cli {

namespace {
constexpr const char* kEraseLine = "\r\033[K";
constexpr int kBarWidth = 30;
}  // namespace

std::string progressLine(const std::string& status, const std::string& percent, int position, int barWidth) {
  if (position < 0) position = 0;
  if (position > 100) position = 100;
  const int filled = position * barWidth / 100;
  std::string line = status;
  if (!line.empty()) line += ' ';
  line += percent.empty() ? std::string("    ") : percent;
  line += " [";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(barWidth - filled), '-');
  line += ']';
  return line;
}

namespace {
// CR LF to LF; the log's texts are whole lines.
std::string withLf(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

// One line of `in` with its LF; false at the end of input with nothing read.
bool readLine(std::FILE* in, std::string* line) {
  if (!in) return false;
  for (int c; (c = std::fgetc(in)) != EOF;) {
    *line += static_cast<char>(c);
    if (c == '\n') break;
  }
  return !line->empty();
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of(kNativeRules.windows ? "/\\" : "/");
  return sanitizeUtf8(slash == std::string::npos ? path : path.substr(slash + 1));
}
}  // namespace

bool writeAll(std::FILE* stream, std::string_view text, int* error) {
  if (std::fwrite(text.data(), 1, text.size(), stream) == text.size()) return true;
  if (*error == 0) *error = errno != 0 ? errno : EIO;
  return false;
}

bool closeStream(std::FILE* stream, int* error) {
  bool ok = true;
  const auto note = [&](int e) {
    if (*error == 0) *error = e != 0 ? e : EIO;
    ok = false;
  };
  if (std::fflush(stream) != 0) note(errno);
  if (std::ferror(stream)) note(0);
  if (std::fclose(stream) != 0) note(errno);
  return ok;
}

namespace {
int firstStandardOutputError = 0;
}  // namespace

bool putStandardOutput(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size()) return true;
  if (firstStandardOutputError == 0) firstStandardOutputError = errno != 0 ? errno : EIO;
  return false;
}

bool flushStandardOutput() {
  if (std::fflush(stdout) == 0) return true;
  if (firstStandardOutputError == 0) firstStandardOutputError = errno != 0 ? errno : EIO;
  return false;
}

int standardOutputError() { return firstStandardOutputError; }

void reportError(const std::string& what, const std::string& reason) {
  std::fprintf(stderr, "tonvell-cli: %s: %s\n", sanitizeUtf8(what).c_str(), reason.c_str());
  std::fflush(stderr);
}

CliView::~CliView() {
  flushLog();
  if (held_) platform::writeHeldOutputOnInterrupt(-1, nullptr, nullptr);
}

void CliView::holdFileLines(bool on) {
  flushLog();
  const std::size_t capacity = on ? platform::heldOutputCapacity() : 0;
  if (capacity == 0) {
    if (held_) platform::writeHeldOutputOnInterrupt(-1, nullptr, nullptr);
    held_.reset();
    heldCapacity_ = 0;
    return;
  }
  if (std::fflush(out_) != 0 && outputError_ == 0) outputError_ = errno;
  held_ = std::make_unique<char[]>(capacity);
  heldCapacity_ = capacity;
  lastWrite_ = std::chrono::steady_clock::now();
  platform::writeHeldOutputOnInterrupt(fileno(out_), held_.get(), &committed_);
}

void CliView::writeHeld(std::size_t bytes) {
  if (bytes == 0) return;
  {
    // An interrupt meanwhile would write the same bytes again.
    const platform::InterruptsHeld quiet;
    putOut(std::string_view(held_.get(), bytes));
    std::memmove(held_.get(), held_.get() + bytes, staged_ - bytes);
    staged_ -= bytes;
    const auto committed = static_cast<std::size_t>(committed_);
    committed_ = static_cast<std::sig_atomic_t>(committed > bytes ? committed - bytes : 0);
  }
  lastWrite_ = std::chrono::steady_clock::now();
}

void CliView::putOut(std::string_view text) {
  if (writeAll(out_, text, &outputError_) && std::fflush(out_) != 0 && outputError_ == 0) outputError_ = errno;
}

void CliView::flushLog() {
  if (held_) writeHeld(staged_);
}

void CliView::writeLog(const std::string& text) {
  if (text.empty()) return;
  clearProgress();
  const std::string lf = withLf(text);
  if (!held_) {
    putOut(lf);
    return;
  }
  // Stored before it is counted (committed_): an interrupt meanwhile writes
  // out only what was counted.
  if (staged_ + lf.size() > heldCapacity_) writeHeld(static_cast<std::size_t>(committed_));
  if (staged_ + lf.size() > heldCapacity_) {
    // Longer than a block: out at once, with what is held before it.
    flushLog();
    const platform::InterruptsHeld quiet;
    putOut(lf);
    return;
  }
  std::memcpy(held_.get() + staged_, lf.data(), lf.size());
  staged_ += lf.size();
}

void CliView::fileStarted(int index, const std::string& inputPath) {
  ++started_;
  file_ = baseName(inputPath);
  status_.clear();
  percent_ = -1;
  writeLog(logtext::fileStarted(index, inputPath));
  drawProgress();
}

void CliView::headerTextSubstituted() { writeLog(logtext::headerTextSubstituted()); }

void CliView::savingStarted() {
  if (!progress_) return;
  status_ = "保存 MLD 中";
  drawProgress();
}

void CliView::outputChosen(const std::string& outputPath) {
  writeLog(logtext::outputChosen(outputPath));
  // The save may name the file from here on: an interrupt writes out the
  // line that names it.
  commitHeld();
}

void CliView::busyAhead() {
  if (held_) writeHeld(static_cast<std::size_t>(committed_));
}

void CliView::fileFinished(const FileOutcome& outcome) {
  writeLog(logtext::fileFinished(outcome));
  commitHeld();
  const std::vector<FailureReason> reasons = failureReasons(outcome);
  // Held lines go out before anything about their files on standard error,
  // and when they have waited a tenth of a second.
  if (held_ && (!reasons.empty() || std::chrono::steady_clock::now() - lastWrite_ >= std::chrono::milliseconds(100)))
    flushLog();
  if (reasons.empty()) return;
  clearProgress();
  for (const FailureReason& r : reasons)
    std::fprintf(err_, "tonvell-cli: %s: %s\n", sanitizeUtf8(r.path).c_str(), r.reason.c_str());
  std::fflush(err_);
}

void CliView::runFinished(const RunSummary& summary) {
  writeLog(logtext::runFinished(summary));
  commitHeld();
  flushLog();
  clearProgress();
}

void CliView::beginProgress(float units, std::string_view stage) {
  if (!progress_) return;  // nothing to show: skip the arithmetic, called per event
  meter_.begin(units);
  status_.assign(stage);
  percent_ = meter_.percent();
  drawProgress();
}

void CliView::stepProgress(float units) {
  if (!progress_) return;
  const int p = meter_.advance(units);
  if (p < 0) return;
  percent_ = p;
  drawProgress();
}

void CliView::finishProgress() {
  if (!progress_) return;
  meter_.finish();
  percent_ = 100;
  drawProgress();
}

void CliView::clearProgress() {
  if (!progressShown_) return;
  std::fputs(kEraseLine, err_);
  std::fflush(err_);
  progressShown_ = false;
  shown_.clear();
}

void CliView::drawProgress() {
  if (!progress_) return;
  // Files done out of the run's files, then the stage of the file in hand.
  char counter[32];
  std::snprintf(counter, sizeof counter, "[%d/%d] ", started_, files_);
  const int position = percent_ < 0 ? 0 : percent_;
  const std::string line = counter + file_ + "  " +
                           progressLine(status_, percent_ < 0 ? std::string() : formatPercent(percent_), position,
                                        kBarWidth);
  if (progressShown_ && line == shown_) return;
  std::fputs(kEraseLine, err_);
  std::fputs(line.c_str(), err_);
  std::fflush(err_);
  progressShown_ = true;
  shown_ = line;
}

CliPrompt::CliPrompt(OverwriteMode mode, CliView& view, std::FILE* in, std::FILE* question)
    : mode_(mode), view_(view), in_(in), question_(question) {}

OverwriteAnswer CliPrompt::ask(const std::string& path) {
  switch (mode_) {
    case OverwriteMode::kAll:
      // The "全部覆盖" answer: the run replaces the rest without asking.
      return OverwriteAnswer::kOverwriteAll;
    case OverwriteMode::kSkip:
      return OverwriteAnswer::kSkip;
    case OverwriteMode::kAsk:
      break;
  }
  // The log so far (the "=>" line naming this path) goes out first.
  view_.flushLog();
  view_.clearProgress();
  const bool typed = platform::isInteractive(in_);
  for (;;) {
    std::fprintf(question_, "输出的文件已存在: %s\n要覆盖此文件吗? [y=是 / a=全部覆盖 / s=跳过] ",
                 sanitizeUtf8(path).c_str());
    std::fflush(question_);
    std::string answer;
    if (!readLine(in_, &answer)) {
      // End of input counts as "跳过".
      std::fputs("s\n", question_);
      std::fflush(question_);
      return OverwriteAnswer::kSkip;
    }
    if (!answer.empty() && answer.back() == '\n') answer.pop_back();
    if (!typed) {
      // Show what was read, so the question does not hang unanswered on screen.
      std::fprintf(question_, "%s\n", sanitizeUtf8(answer).c_str());
      std::fflush(question_);
    }
    const OverwriteAnswer result = parseOverwriteAnswer(answer);
    if (result != OverwriteAnswer::kNone) return result;
  }
}

void TraceWriter::put(std::string_view bytes) { writeAll(out_, bytes, &error_); }

void TraceWriter::write(std::string_view bytes) {
  if (!out_) return;
  if (!utf8_) {
    put(bytes);
    return;
  }
  // LF is never part of a GBK double-byte character, so whole lines convert
  // cleanly even when a line arrives in several calls.
  pending_.append(bytes);
  const std::size_t lf = pending_.rfind('\n');
  if (lf == std::string::npos) return;
  put(gbkToUtf8(std::string_view(pending_).substr(0, lf + 1)));
  pending_.erase(0, lf + 1);
}

void TraceWriter::finish() {
  if (!out_) return;
  if (!pending_.empty()) {
    put(gbkToUtf8(pending_));
    pending_.clear();
  }
  if (std::fflush(out_) != 0 && error_ == 0) error_ = errno;
}

}  // namespace tonvell::cli
