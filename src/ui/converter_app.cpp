#include "ui/converter_app.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>

#include "convert/save.h"
#include "core/trace.h"
#include "ui/converter_dialog.h"
#include "ui/dialog_units.h"
#include "ui/file_names.h"
#include "ui/settings_store.h"
#include "ui/trace_file.h"

namespace tonvell::ui {

InstanceLock::InstanceLock(const QString& name) : path_(directory() + QLatin1Char('/') + name + QStringLiteral(".lock")) {}

InstanceLock::~InstanceLock() = default;

QString InstanceLock::directory() {
  // QStandardPaths would make up a runtime directory, with a warning on the
  // terminal, when XDG_RUNTIME_DIR is unset: fall back quietly instead.
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir()) return runtime;
  return QDir::tempPath();
}

InstanceLock::Outcome InstanceLock::tryAcquire() {
  lock_ = std::make_unique<QLockFile>(path_);
  // Age says nothing here: the first copy may run for days. Only a holder
  // that is no longer running makes a lock stale.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) return Outcome::kAcquired;
  const QLockFile::LockError error = lock_->error();
  lock_.reset();
  return error == QLockFile::LockFailedError ? Outcome::kHeldElsewhere : Outcome::kUnavailable;
}

ConverterApp::ConverterApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("tonvell"));
  setApplicationDisplayName(QStringLiteral("Tonvell"));
  setApplicationVersion(QStringLiteral(TONVELL_VERSION));
  setWindowIcon(programIcon());
}

int ConverterApp::run() {
  const QStringList args = arguments();
  if (args.size() >= 3 && args.at(1) == QLatin1String("--screenshot")) return screenshot(args.at(2), args.mid(3));

  // A save interrupted by a signal leaves no temporary file behind.
  removeTemporaryOutputOnSignals();
  TraceChannel trace;
  attachTraceFile(trace);
  InstanceLock lock(QString::fromLatin1(kInstanceName));
  if (lock.tryAcquire() == InstanceLock::Outcome::kHeldElsewhere) {
    // Another copy runs: end at once, saying nothing to the user.
    trace.write("Tonvell Mutex found!!\n");
    return 0;
  }
  ConverterDialog window(settingsFilePath());
  window.exec();
  return 0;
}

int ConverterApp::screenshot(const QString& file, const QStringList& inputs) {
  // Relative names mean the folder the program was started in: resolve them
  // before the window makes its own folder current.
  const QString target = QFileInfo(file).absoluteFilePath();
  QStringList paths;
  for (const QString& input : inputs) paths << QFileInfo(input).absoluteFilePath();
  QTemporaryDir output;
  ConverterDialog window{QString()};
  if (!paths.isEmpty() && output.isValid()) {
    window.appendFiles(paths);
    window.converter().settings.outputFolder = fileNameBytes(output.path() + QLatin1Char('/'));
    window.push();
    window.show();
    window.startRun();
  }
  const QPixmap image = window.grab();
  window.done(ConverterDialog::kCancel);
  return image.save(target, "PNG") ? 0 : 1;
}

}  // namespace tonvell::ui
