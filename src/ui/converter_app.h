// The application object: one copy of the program at a time, then the main
// window, run modally; the program ends when the window closes. Files named
// on the command line go into the window's list; a second copy hands its
// files to the first one over a local socket beside the instance lock.
#pragma once

#include <QApplication>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QLocalServer;
class QLocalSocket;
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
  // The local socket of the copy that holds the lock: the lock's name
  // without ".lock", in the same directory.
  QString socketPath() const { return socketPath_; }

  // Where locks live.
  static QString directory();

 private:
  QString path_;
  QString socketPath_;
  std::unique_ptr<QLockFile> lock_;
};

// File names are bytes and need not be UTF-8; the window shows them as text.
// Valid UTF-8 becomes its characters and every other byte b the lone
// surrogate U+DC00 + b, which no UTF-8 text decodes to, so pathBytes gives
// the same bytes back ("surrogate escape").
QString pathText(std::string_view bytes);
std::string pathBytes(const QString& text);

// The folder that "./" means while the window is open: the program's own
// folder where the user may write in it (a portable copy); else (an
// installed copy, say in /usr/bin) the user's music folder, made when it is
// missing, or the home folder when there is none or it cannot be made.
// `note` gets the trace line that tells which when it is not the program's
// folder, and is left alone otherwise.
std::string workingFolder(const std::string& programFolder, std::string* note);

// What the command line asks for. Paths stay the bytes given.
struct StartRequest {
  enum class Action { kRun, kHelp, kVersion, kScreenshot, kUsageError };
  Action action = Action::kRun;
  std::vector<std::string> paths;  // the FILE arguments, in order; empty ones left out
  std::string screenshotFile;      // kScreenshot: the PNG to write
  std::string error;               // kUsageError: what is wrong
};

// Reads argv[1] on: "--help" or "-h", "--version", "--screenshot PNG" as
// the first argument, "--" (every later argument is a file), any other word
// that starts with "-" is a usage error, the rest are files. --help wins
// over --version, and both over a usage error.
StartRequest parseStartRequest(int argc, const char* const* argv);

// Answers --help and --version (exit status 0) before the window system is
// set up, so that they work without a display; nullopt for everything else.
std::optional<int> answerWithoutWindow(int argc, const char* const* argv);

// `path` made absolute against `directory` (both bytes), with leading "./"
// left out; an absolute path is returned as it is.
std::string absolutePath(const std::string& path, const std::string& directory);

// The hand-over message, one per connection, the second copy to the first:
//   "tonvell-paths 1" NUL   the kind and its version
//   path NUL                each path's bytes (never empty: argv has no NUL)
//   NUL                     an empty path ends the message
// The first copy answers "ok\n" once the paths are taken.
std::string encodeHandover(const std::vector<std::string>& paths);
enum class HandoverParse { kIncomplete, kComplete, kBad };
// kComplete fills `paths`; kIncomplete waits for more bytes; kBad is
// anything else (another kind, bytes after the end, over kMaxHandoverBytes).
HandoverParse decodeHandover(std::string_view message, std::vector<std::string>* paths);
inline constexpr std::size_t kMaxHandoverBytes = 16 << 20;

// The first copy's end: listens on the lock's socket, open to this user
// only, and gives the paths of each complete message to `deliver`.
class HandoverServer {
 public:
  using Deliver = std::function<void(std::vector<std::string> paths)>;
  HandoverServer(const QString& socketPath, Deliver deliver);
  ~HandoverServer();
  HandoverServer(const HandoverServer&) = delete;
  HandoverServer& operator=(const HandoverServer&) = delete;

  // Replaces a socket left by a copy that died (the caller holds the lock,
  // so no other copy uses it). False when it cannot listen; the window then
  // runs without it.
  bool listen();

 private:
  void accept();
  void read(QLocalSocket* socket);

  QString socketPath_;
  Deliver deliver_;
  std::unique_ptr<QLocalServer> server_;
};

// The second copy's end: connects to `socketPath` (retrying while the first
// copy is still starting), sends the paths and waits for the answer, all
// within `timeoutMs`. kSent: the paths went out but no answer came in time
// (the first copy is busy with a run and reads them when it is done).
enum class HandoverResult { kTaken, kSent, kFailed };
HandoverResult handOver(const QString& socketPath, const std::vector<std::string>& paths, int timeoutMs,
                        QString* why);

class ConverterApp : public QApplication {
  Q_OBJECT
 public:
  static constexpr const char* kInstanceName = "Tonvell_PrevInstance";

  ConverterApp(int& argc, char** argv);

  // The whole program; its exit status. The command line as parseStartRequest
  // reads it (Qt's own options taken out): the files go into the window's
  // list, or to the copy that runs already, and this one ends with 0 (1 when
  // that copy cannot take them; with no files it ends at once). A usage
  // error ends with 2. "--screenshot FILE [MIDI...]" renders the main window
  // to FILE (PNG) instead, after converting the given files into a temporary
  // folder, without the profile and without the instance lock.
  int run();

 private:
  int screenshot(const QString& file, const QStringList& inputs);

  int& argc_;
  char** argv_;
};

}  // namespace tonvell::ui
