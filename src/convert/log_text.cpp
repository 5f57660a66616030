#include "convert/log_text.h"

#include <cstdio>

#include "convert/strings.h"
#include "core/gbk.h"

namespace tonvell::logtext {

std::string banner() {
  return "Lumora 专用转换工具。\n不符合铃声规格的数据将无法被转换成正确的数据并播放。\n\n";
}

std::string fileStarted(int index, const std::string& inputPath) {
  char number[16];
  std::snprintf(number, sizeof number, "%03d: ", index);
  return std::string(loadString(text::kSeparator)) + number + sanitizeUtf8(inputPath) + "\r\n";
}

std::string headerTextSubstituted() { return std::string(loadString(text::kGbkSubstituted)); }

std::string outputChosen(const std::string& outputPath) { return "     => " + sanitizeUtf8(outputPath) + "\n"; }

std::string fileFinished(const FileOutcome& outcome) {
  if (!outcome.converted()) return "★" + std::string(loadString(messageId(outcome.code)));
  std::string text = outcome.channel16LeftOut ? "     ※第 16 声道没有空余音轨，未转换\n" : "";
  if (outcome.outputIsInput) return text + "  " + std::string(loadString(text::kOutputIsInput));
  if (outcome.duplicateOutput) return text + "  " + std::string(loadString(text::kDuplicateOutput));
  text += overwriteDecided(outcome.save.decision);
  switch (outcome.save.status) {
    case SaveStatus::kCannotOpen: text += "  " + std::string(loadString(messageId(ResultCode::kCannotOpenOutput))); break;
    case SaveStatus::kWriteFailed: text += "  " + std::string(loadString(text::kWriteFailed)); break;
    case SaveStatus::kWritten:
    case SaveStatus::kReplaced:
    case SaveStatus::kSkipped: break;
  }
  return text;
}

std::string overwriteDecided(OverwriteDecision decision) {
  switch (decision) {
    case OverwriteDecision::kReplace: return "     ※已覆盖\n";
    case OverwriteDecision::kReplaceFromNowOn: return "     ※从这以后全部覆盖\n";
    case OverwriteDecision::kSkip: return "     ※已跳过\n";
    case OverwriteDecision::kNoFile:
    case OverwriteDecision::kReplaceSilently: break;
  }
  return {};
}

std::string runFinished(const RunSummary& summary) {
  if (summary.checked == 0) return {};
  char line[128];
  std::snprintf(line, sizeof line, "已检查 %d 个文件、已保存了 %d 个文件。\r\n", summary.checked, summary.saved);
  return std::string(loadString(text::kSeparator)) + line;
}

}  // namespace tonvell::logtext
