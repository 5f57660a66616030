#include "cli/terminal.h"

#include <unistd.h>

#include <cstdlib>

#include "convert/gbk.h"

namespace tonvell::cli {

namespace {
constexpr const char* kEraseLine = "\r\033[K";
constexpr int kBarWidth = 30;
}  // namespace

std::string LogStream::take(const std::string& log) {
  if (log.size() < emitted_) emitted_ = 0;  // the log was cleared and began again
  std::string out;
  out.reserve(log.size() - emitted_);
  for (std::size_t i = emitted_; i < log.size(); ++i) {
    const char c = log[i];
    if (pendingCr_) {
      pendingCr_ = false;
      if (c == '\n') {
        out += '\n';
        continue;
      }
      out += '\r';
    }
    if (c == '\r')
      pendingCr_ = true;
    else
      out += c;
  }
  emitted_ = log.size();
  return out;
}

std::string LogStream::finish() {
  if (!pendingCr_) return {};
  pendingCr_ = false;
  return "\r";
}

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

CliDisplay::CliDisplay(std::vector<std::string> lines, std::FILE* out, std::FILE* progress)
    : lines_(std::move(lines)), out_(out), progress_(progress) {}

int CliDisplay::lineCount() { return lines_.empty() ? 1 : static_cast<int>(lines_.size()); }

std::string CliDisplay::line(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= lines_.size()) return {};
  return lines_[static_cast<std::size_t>(index)];
}

void CliDisplay::push() {
  if (!fields_) return;
  flushLog();
  updateProgress();
}

void CliDisplay::flushLog() {
  if (!fields_) return;
  const std::string text = log_.take(fields_->logText);
  if (text.empty()) return;
  clearProgress();
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

void CliDisplay::clearProgress() {
  if (!progressShown_) return;
  std::fputs(kEraseLine, progress_);
  std::fflush(progress_);
  progressShown_ = false;
}

void CliDisplay::updateProgress() {
  if (!progress_) return;
  if (fields_->statusText.empty() && fields_->percentText.empty()) {
    clearProgress();
    shownStatus_.clear();
    shownPercent_.clear();
    return;
  }
  if (progressShown_ && fields_->statusText == shownStatus_ && fields_->percentText == shownPercent_) return;
  shownStatus_ = fields_->statusText;
  shownPercent_ = fields_->percentText;
  const std::string line = progressLine(shownStatus_, shownPercent_, fields_->progressPos, kBarWidth);
  std::fputs(kEraseLine, progress_);
  std::fputs(line.c_str(), progress_);
  std::fflush(progress_);
  progressShown_ = true;
}

void CliDisplay::finish() {
  flushLog();
  const std::string rest = log_.finish();
  if (!rest.empty()) std::fwrite(rest.data(), 1, rest.size(), out_);
  clearProgress();
  std::fflush(out_);
}

CliPrompt::CliPrompt(OverwriteMode mode, CliDisplay& display, std::FILE* in, std::FILE* question)
    : mode_(mode), display_(display), in_(in), question_(question) {}

int CliPrompt::ask(const std::string& path) {
  switch (mode_) {
    case OverwriteMode::kAll:
      // The "全部覆盖" answer: the run replaces the rest without asking.
      return kOverwriteAll;
    case OverwriteMode::kSkip:
      ++skipped_;
      return kSkip;
    case OverwriteMode::kAsk:
      break;
  }
  // The log so far (the "=>" line naming this path) comes before the question.
  display_.flushLog();
  display_.clearProgress();
  const bool typed = in_ && ::isatty(fileno(in_));
  for (;;) {
    std::fprintf(question_, "输出的文件已存在: %s\n要覆盖此文件吗? [y=是 / a=全部覆盖 / s=跳过] ",
                 sanitizeUtf8(path).c_str());
    std::fflush(question_);
    char* buffer = nullptr;
    std::size_t capacity = 0;
    const ssize_t got = in_ ? ::getline(&buffer, &capacity, in_) : -1;
    std::string answer = got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
    std::free(buffer);
    if (got <= 0) {
      // End of input counts as "跳过".
      std::fputs("s\n", question_);
      std::fflush(question_);
      ++skipped_;
      return kSkip;
    }
    if (!answer.empty() && answer.back() == '\n') answer.pop_back();
    if (!typed) {
      // Show what was read, so the question does not hang unanswered on screen.
      std::fprintf(question_, "%s\n", sanitizeUtf8(answer).c_str());
      std::fflush(question_);
    }
    const int result = parseOverwriteAnswer(answer);
    if (result == kSkip) ++skipped_;
    if (result != 0) return result;
  }
}

void TraceWriter::write(std::string_view bytes) {
  if (!out_) return;
  if (!utf8_) {
    std::fwrite(bytes.data(), 1, bytes.size(), out_);
    return;
  }
  // LF is never part of a GBK double-byte character, so whole lines convert
  // cleanly even when a line arrives in several calls.
  pending_.append(bytes);
  const std::size_t lf = pending_.rfind('\n');
  if (lf == std::string::npos) return;
  const std::string utf8 = gbkToUtf8(std::string_view(pending_).substr(0, lf + 1));
  std::fwrite(utf8.data(), 1, utf8.size(), out_);
  pending_.erase(0, lf + 1);
}

void TraceWriter::finish() {
  if (!out_) return;
  if (!pending_.empty()) {
    const std::string utf8 = gbkToUtf8(pending_);
    std::fwrite(utf8.data(), 1, utf8.size(), out_);
    pending_.clear();
  }
  std::fflush(out_);
}

}  // namespace tonvell::cli
