// The window's listening: the two context-menu items, the double click on a
// "=> PATH" line of the log, and the one log line when a file cannot be heard.
#include <QFile>
#include <QMenu>

#include "ui/controls.h"
#include "ui/converter_dialog.h"
#include "ui/preview_player.h"

namespace tonvell::ui {

void ConverterDialog::setUpPreview() {
  preview_ = new PreviewPlayer(this);
  connect(preview_, &PreviewPlayer::failed, this, [this](const QString& reason, bool noAudioOutput) {
    logPreviewLine(noAudioOutput ? QStringLiteral("♪无法打开音频输出，不能试听（%1）").arg(reason)
                                 : QStringLiteral("♪无法试听：%1").arg(reason));
  });
  converter_.onFileFinished = [this](const FileOutcome& outcome) {
    if (outcome.saved()) lastSaved_ = outcome.outputPath;
  };
  connect(log_, &LogView::lineActivated, this, &ConverterDialog::previewLogLine);
}

void ConverterDialog::addPreviewItems(QMenu* menu) {
  menu->addSeparator();
  QAction* play = menu->addAction(QStringLiteral("试听最后保存的文件"));
  play->setEnabled(!lastSaved_.empty());
  connect(play, &QAction::triggered, this, &ConverterDialog::previewLastSaved);
  QAction* stop = menu->addAction(QStringLiteral("停止试听"));
  stop->setEnabled(preview_->active());
  connect(stop, &QAction::triggered, this, &ConverterDialog::stopPreview);
}

void ConverterDialog::previewLastSaved() {
  if (!lastSaved_.empty()) preview_->play(lastSaved_);
}

void ConverterDialog::stopPreview() { preview_->stop(); }

void ConverterDialog::previewLogLine(const QString& line) {
  const QString text = line.trimmed();
  if (!text.startsWith(QStringLiteral("=> "))) return;
  preview_->play(QFile::encodeName(text.mid(3)).toStdString());
}

// One line at the end of the log, as the run writes its own.
void ConverterDialog::logPreviewLine(const QString& line) {
  std::string& log = converter_.fields.logText;
  if (!log.empty() && log.back() != '\n') log += "\r\n";
  log += line.toStdString() + "\r\n";
  log_->showText(log);
}

}  // namespace tonvell::ui
