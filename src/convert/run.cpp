#include "convert/run.h"

#include <cstdio>

#include "convert/log_text.h"
#include "platform/console.h"

namespace tonvell {

namespace {
// Truncation toward zero, kept within the bar's range.
int wholePercent(float value) {
  if (!(value > 0)) return 0;
  if (value >= 100) return 100;
  return static_cast<int>(value);
}
}  // namespace

CalendarDate localToday() {
  const platform::LocalDate today = platform::localToday();
  return CalendarDate{today.year, today.month, today.day};
}

ConversionOptions conversionOptions(const ConverterSettings& s) {
  ConversionOptions o;
  o.titleSwitch = s.titleSwitch;
  o.titleText = s.titleText;
  o.copyrightSwitch = s.copyrightSwitch;
  o.copyrightText = s.copyrightText;
  o.smfSeqNameSwitch = s.smfSeqNameSwitch;
  o.smfCopyrightSwitch = s.smfCopyrightSwitch;
  o.copyProhibit = s.copyProhibit;
  o.format0 = s.format0Switch == 1;
  o.handset = s.handsetSwitch == 1;
  o.masterVolumeSwitch = s.masterVolumeSwitch;
  o.masterVolume = s.masterVolume;
  o.loopSwitch = s.loopSwitch;
  return o;
}

int ProgressMeter::advance(float units) {
  value_ += units * step_;
  const int p = wholePercent(value_);
  if (p == shown_) return -1;
  shown_ = p;
  return p;
}

int ProgressMeter::percent() const { return wholePercent(value_); }

std::string formatPercent(int percent) {
  char text[16];
  std::snprintf(text, sizeof text, "%3d%%", percent);
  return text;
}

RunSummary Converter::batchRun() {
  display_.pull();
  std::vector<std::string> lines(static_cast<std::size_t>(display_.lineCount()));
  for (std::size_t i = 0; i < lines.size(); ++i) lines[i] = display_.line(static_cast<int>(i));
  clearLog();
  BatchOptions options;
  options.date = today();
  options.trace = &trace;
  BatchRun run(settings, prompt_, *this, options);
  const RunSummary summary = run.run(lines);
  display_.push();
  return summary;
}

void Converter::clearLog() {
  fields.logText = logtext::banner();
  fields.progressPos = 0;
  fields.statusText.clear();
  fields.percentText.clear();
  display_.push();
  display_.repaint();
}

void Converter::fileStarted(int index, const std::string& inputPath) {
  fields.logText += logtext::fileStarted(index, inputPath);
  refreshWindow();
}

void Converter::headerTextSubstituted() { fields.logText += logtext::headerTextSubstituted(); }

void Converter::savingStarted() {
  display_.pull();
  fields.statusText = "保存 MLD 中";
  refreshWindow();
}

void Converter::outputChosen(const std::string& outputPath) { fields.logText += logtext::outputChosen(outputPath); }

void Converter::fileFinished(const FileOutcome& outcome) {
  fields.logText += logtext::fileFinished(outcome);
  if (onFileFinished) onFileFinished(outcome);
  if (outcome.converted()) refreshWindow();
}

void Converter::lineDone(int) { refreshWindow(); }

void Converter::runFinished(const RunSummary& summary) {
  if (summary.checked == 0) return;
  fields.statusText = "退出";
  fields.logText += logtext::runFinished(summary);
  refreshWindow();
}

void Converter::refreshWindow() {
  display_.push();
  display_.repaint();
}

void Converter::beginProgress(float units, std::string_view stage) {
  meter_.begin(units);
  fields.progressPos = 0;
  fields.statusText.assign(stage);
  fields.percentText = formatPercent(meter_.percent());
  refreshWindow();
}

void Converter::stepProgress(float units) {
  const int p = meter_.advance(units);
  if (p < 0) return;
  fields.percentText = formatPercent(p);
  fields.progressPos = p;
  refreshWindow();
}

void Converter::finishProgress() {
  meter_.finish();
  fields.percentText = formatPercent(100);
  fields.progressPos = 100;
  refreshWindow();
}

}  // namespace tonvell
