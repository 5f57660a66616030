#include "convert/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "convert/gbk.h"
#include "convert/strings.h"
#include "mfi/assemble.h"
#include "smf/split.h"

namespace tonvell {

namespace {

constexpr std::string_view kBanner =
    "Lumora 专用转换工具。\n不符合铃声规格的数据将无法被转换成正确的数据并播放。\n\n";
// The longest line of the file list taken as a path: this system's path limit.
constexpr std::size_t kMaxLineBytes = PATH_MAX;

std::string formatPercent(int percent) {
  char text[16];
  std::snprintf(text, sizeof text, "%3d%%", percent);
  return text;
}

// Truncation toward zero, kept within the bar's range.
int wholePercent(float value) {
  if (!(value > 0)) return 0;
  if (value >= 100) return 100;
  return static_cast<int>(value);
}

}  // namespace

CalendarDate localToday() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return CalendarDate{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

void applyDefaults(ConverterSettings& settings, ConversionWorkspace& ws) {
  settings = ConverterSettings{};
  ws.smfCopyright.clear();
  ws.smfSequenceName.clear();
  ws.overwriteAll = 0;
}

bool ConversionWorkspace::allocateBuffers(int length) {
  releaseBuffers();
  const std::int64_t capacity = bufferCapacityFor(length);
  bufferA.reset(new (std::nothrow) std::uint8_t[static_cast<size_t>(capacity)]);
  if (!bufferA) return false;
  bufferB.reset(new (std::nothrow) std::uint8_t[static_cast<size_t>(capacity)]);
  if (!bufferB) {
    bufferA.reset();
    return false;
  }
  bufferCapacity = static_cast<int>(capacity);
  inputLength = length;
  overflow = false;
  return true;
}

void ConversionWorkspace::releaseBuffers() {
  bufferB.reset();
  bufferA.reset();
  bufferCapacity = 0;
  readBase = nullptr;
  writeBase = nullptr;
  readSize = 0;
}

std::size_t cutLine(std::string_view fetched) {
  std::size_t n = 0;
  while (n < fetched.size() && fetched[n] != '\r' && fetched[n] != '\n' && fetched[n] != '\0') ++n;
  return n;
}

ConvertResult loadInputBytes(std::string_view bytes, ConversionWorkspace& ws) {
  if (static_cast<std::int64_t>(bytes.size()) >= kMaxInputLength) return result::kNoMemory;
  const int length = static_cast<int>(bytes.size());
  if (!ws.allocateBuffers(length)) return result::kNoMemory;
  if (length > 0) std::memcpy(ws.bufferA.get(), bytes.data(), bytes.size());
  return result::kSuccess;
}

ConvertResult loadInput(const std::string& path, ConversionWorkspace& ws) {
  // An existing regular file only; O_NONBLOCK keeps a FIFO from holding the run.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return result::kFileNotFound;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return result::kFileNotFound;
  }
  if (st.st_size >= kMaxInputLength) {
    ::close(fd);
    return result::kNoMemory;
  }
  const int length = static_cast<int>(st.st_size);
  if (!ws.allocateBuffers(length)) {
    ::close(fd);
    return result::kNoMemory;
  }
  int got = 0;
  while (got < length) {
    const ssize_t n = ::read(fd, ws.bufferA.get() + got, static_cast<size_t>(length - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<int>(n);
  }
  ::close(fd);
  if (got != length) {
    ws.releaseBuffers();
    return result::kReadFailed;
  }
  return result::kSuccess;
}

ConvertResult convertLoaded(PassContext& pass) {
  ConvertResult code = analyseSmf(pass);
  pass.progress.refreshWindow();
  if (code != result::kSuccess) return code;
  code = assembleMfi(pass);
  pass.progress.refreshWindow();
  return code;
}

ConvertResult Converter::convertOne(const std::string& path) {
  // Each input's header carries only its own SMF texts.
  ws.smfSequenceName.clear();
  ws.smfCopyright.clear();
  ConvertResult code = loadInput(path, ws);
  if (code != result::kSuccess) return code;
  PassContext pass = context();
  code = convertLoaded(pass);
  if (code == result::kSuccess) {
    saveMld(path);
    refreshWindow();
  }
  ws.releaseBuffers();
  return code;
}

void Converter::batchRun() {
  display_.pull();
  ws.savedCount = 0;
  ws.overwriteAll = 0;
  int processed = 0;
  const std::string_view separator = loadString(text::kSeparator);
  const int lines = display_.lineCount();
  clearLog();

  for (int i = 0; i < lines; ++i) {
    std::string fetched = display_.line(i);
    if (fetched.size() > kMaxLineBytes) fetched.resize(kMaxLineBytes);
    const std::string path = fetched.substr(0, cutLine(fetched));
    if (!path.empty()) {
      appendLog(separator);
      char index[16];
      std::snprintf(index, sizeof index, "%03d: ", i);
      appendLog(std::string(index) + sanitizeUtf8(path) + "\r\n");
      refreshWindow();
      ++processed;
      const ConvertResult code = convertOne(path);
      if (code != result::kSuccess) {
        appendLog("★");
        appendLog(loadString(code));
      }
    }
    refreshWindow();
  }

  if (processed > 0) {
    fields.statusText = "退出";
    appendLog(separator);
    char summary[128];
    std::snprintf(summary, sizeof summary, "已检查 %d 个文件、已保存了 %d 个文件。\r\n", processed, ws.savedCount);
    appendLog(summary);
    refreshWindow();
  }
  display_.push();
}

void Converter::clearLog() {
  fields.logText.assign(kBanner);
  ws.currentChannel = -1;
  fields.progressPos = 0;
  fields.statusText.clear();
  fields.percentText.clear();
  display_.push();
  display_.repaint();
}

void Converter::appendLog(std::string_view text) { fields.logText.append(text); }

void Converter::refreshWindow() {
  display_.push();
  display_.repaint();
}

void Converter::beginProgress(float units, std::string_view text) {
  ws.progressStep = units > 0 ? 100.0f / units : 0.0f;
  ws.progressValue = 0;
  ws.shownPercent = -1;
  fields.progressPos = 0;
  fields.statusText.assign(text);
  fields.percentText = formatPercent(wholePercent(ws.progressValue));
  refreshWindow();
}

void Converter::stepProgress(float units) {
  ws.progressValue += units * ws.progressStep;
  const int p = wholePercent(ws.progressValue);
  if (p == ws.shownPercent) return;
  fields.percentText = formatPercent(p);
  fields.progressPos = p;
  ws.shownPercent = p;
  refreshWindow();
}

void Converter::finishProgress() {
  ws.progressValue = 100;
  fields.percentText = formatPercent(100);
  fields.progressPos = 100;
  refreshWindow();
}

}  // namespace tonvell
