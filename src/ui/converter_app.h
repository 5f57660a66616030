// The application object: one copy of the program at a time, then the main
// window, run modally; the program ends when the window closes.
#pragma once

#include <QApplication>
#include <QString>

#include <memory>

class QLockFile;

namespace tonvell::ui {

// A lock that one process at a time can hold, named system-wide for the
// user: a lock file in the runtime directory (XDG_RUNTIME_DIR, else the
// temporary directory). A lock left behind by a process that no longer runs
// is taken over.
class InstanceLock {
 public:
  explicit InstanceLock(const QString& name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  enum class Outcome { kAcquired, kHeldElsewhere, kUnavailable };
  // kUnavailable: the lock file cannot be made (the program runs unguarded).
  Outcome tryAcquire();
  QString path() const { return path_; }

  // Where locks live.
  static QString directory();

 private:
  QString path_;
  std::unique_ptr<QLockFile> lock_;
};

class ConverterApp : public QApplication {
  Q_OBJECT
 public:
  static constexpr const char* kInstanceName = "Tonvell_PrevInstance";

  ConverterApp(int& argc, char** argv);

  // The whole program; its exit status. With "--screenshot FILE [MIDI...]"
  // it renders the main window to FILE (PNG) instead, after converting the
  // given files into a temporary folder, without the profile and without the
  // instance lock.
  int run();

 private:
  int screenshot(const QString& file, const QStringList& inputs);
};

}  // namespace tonvell::ui
