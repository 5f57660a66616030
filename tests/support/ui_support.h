// Shared pieces of the desktop program's tests: the application object on
// the offscreen platform, environment overrides, and answering the modal
// windows a test's own action opens.
#pragma once

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

namespace tonvell::test {

// The one QApplication of a test program, created on first use (never at
// static initialisation: test discovery runs the program without a display).
inline QApplication& qtApp() {
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "tonvell-ui-test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Sets (or with nullptr removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name), had_(qEnvironmentVariableIsSet(name)) {
    if (had_) old_ = qgetenv(name);
    if (value) qputenv(name, value);
    else qunsetenv(name);
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv() {
    if (had_) qputenv(name_, old_);
    else qunsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  bool had_;
  QByteArray old_;
};

// How long a test waits for what must come (a window, a process to start or
// end, a signal, an answer): long enough that only a hang reaches it, however
// busy the machine is. No test measures speed against it.
inline constexpr int kPatienceMs = 120000;

// Waits, from inside whatever modal loop is running, for a modal window of
// type T and hands it to `act`. Gives up after `timeoutMs`; `seen` (when
// given) tells whether the window ever came.
template <typename T>
void whenModal(std::function<void(T*)> act, bool* seen = nullptr, int timeoutMs = kPatienceMs) {
  if (seen) *seen = false;
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [act, seen, timeoutMs, clock, poll] {
    if (T* w = qobject_cast<T*>(QApplication::activeModalWidget()); w && w->isVisible()) {
      if (seen) *seen = true;
      act(w);
      *poll = nullptr;  // breaks the cycle
      return;
    }
    if (clock->elapsed() > timeoutMs) {
      *poll = nullptr;
      return;
    }
    QTimer::singleShot(5, *poll);
  };
  QTimer::singleShot(0, *poll);
}

}  // namespace tonvell::test
