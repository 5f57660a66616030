#include "ui/converter_app.h"

#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPixmap>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "core/trace.h"
#include "ui/converter_dialog.h"
#include "ui/dialog_units.h"
#include "ui/settings_store.h"
#include "ui/trace_file.h"

namespace tonvell::ui {

namespace {

constexpr std::string_view kHandoverKind{"tonvell-paths 1\0", 16};
constexpr std::string_view kHandoverAnswer = "ok\n";

// The length of the well-formed UTF-8 sequence at the start of `s` (no
// overlong forms, no surrogates, nothing above U+10FFFF), 0 when there is none.
std::size_t utf8SequenceLength(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b = byte(0);
  if (b < 0x80) return 1;
  std::size_t n;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < n || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return n;
}

const char kUsage[] =
    "Usage: tonvell [FILE...]\n"
    "       tonvell --screenshot PNG [FILE...]\n"
    "\n"
    "Converts Standard MIDI Files (format 1) into MFi 2.0 ring tones (.mld) in a window.\n"
    "The FILEs start in the window's list of input files. When Tonvell runs already,\n"
    "they are added to the list of that window instead, and this copy ends.\n"
    "\n"
    "  --screenshot PNG  convert the FILEs into a temporary folder, save a picture of\n"
    "                    the window as PNG and end\n"
    "  --version         print the version and end\n"
    "  -h, --help        print this help and end\n"
    "  --                every later argument is a FILE\n"
    "\n"
    "See tonvell(1); the command line converter is tonvell-cli(1).\n";

}  // namespace

QString pathText(std::string_view bytes) {
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  std::size_t start = 0;  // of the well-formed run not yet added
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t n = utf8SequenceLength(bytes.substr(i));
    if (n > 0) {
      i += n;
      continue;
    }
    text += QString::fromUtf8(bytes.data() + start, static_cast<qsizetype>(i - start));
    text += QChar(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
    start = ++i;
  }
  text += QString::fromUtf8(bytes.data() + start, static_cast<qsizetype>(i - start));
  return text;
}

std::string pathBytes(const QString& text) {
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(text.size()));
  qsizetype start = 0;  // of the run without escapes not yet added
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t c = text.at(i).unicode();
    if (c < 0xDC80 || c > 0xDCFF || (i > 0 && text.at(i - 1).isHighSurrogate())) continue;
    bytes += text.mid(start, i - start).toStdString();
    bytes += static_cast<char>(c - 0xDC00);
    start = i + 1;
  }
  bytes += text.mid(start).toStdString();
  return bytes;
}

std::string workingFolder(const std::string& programFolder, std::string* note) {
  if (programFolder.empty() || ::access(programFolder.c_str(), W_OK) == 0) return programFolder;
  const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
  if (!music.isEmpty() && QDir().mkpath(music)) {
    *note = "program folder not writable, using the music folder\n";
    return QFile::encodeName(music).toStdString();
  }
  *note = "program folder not writable, using the home folder\n";
  return QFile::encodeName(QDir::homePath()).toStdString();
}

StartRequest parseStartRequest(int argc, const char* const* argv) {
  using Action = StartRequest::Action;
  StartRequest request;
  bool help = false, version = false, filesOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (filesOnly || arg.empty() || arg == "-" || arg[0] != '-') {
      if (!arg.empty()) request.paths.push_back(arg);
    } else if (arg == "--") {
      filesOnly = true;
    } else if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--screenshot" && i == 1) {
      if (i + 1 >= argc) {
        if (request.error.empty()) request.error = "--screenshot needs a PNG file";
        continue;
      }
      request.action = Action::kScreenshot;
      request.screenshotFile = argv[++i];
    } else if (request.error.empty()) {
      request.error = "unknown option " + arg;
    }
  }
  if (help) request.action = Action::kHelp;
  else if (version) request.action = Action::kVersion;
  else if (!request.error.empty()) request.action = Action::kUsageError;
  return request;
}

std::optional<int> answerWithoutWindow(int argc, const char* const* argv) {
  const StartRequest request = parseStartRequest(argc, argv);
  if (request.action == StartRequest::Action::kHelp) {
    std::fputs(kUsage, stdout);
  } else if (request.action == StartRequest::Action::kVersion) {
    std::fputs("tonvell " TONVELL_VERSION "\n", stdout);
  } else {
    return std::nullopt;
  }
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

std::string absolutePath(const std::string& path, const std::string& directory) {
  if (path.empty() || path[0] == '/' || directory.empty()) return path;
  std::string_view rest = path;
  while (rest.size() > 2 && rest.substr(0, 2) == "./") rest.remove_prefix(2);
  std::string absolute = directory;
  if (absolute.back() != '/') absolute += '/';
  absolute += rest;
  return absolute;
}

std::string encodeHandover(const std::vector<std::string>& paths) {
  std::string message(kHandoverKind);
  for (const std::string& path : paths) {
    message += path;
    message += '\0';
  }
  message += '\0';
  return message;
}

HandoverParse decodeHandover(std::string_view message, std::vector<std::string>* paths) {
  if (message.size() > kMaxHandoverBytes) return HandoverParse::kBad;
  const std::size_t kind = std::min(message.size(), kHandoverKind.size());
  if (message.substr(0, kind) != kHandoverKind.substr(0, kind)) return HandoverParse::kBad;
  if (kind < kHandoverKind.size()) return HandoverParse::kIncomplete;
  std::vector<std::string> found;
  std::size_t at = kHandoverKind.size();
  for (;;) {
    const std::size_t end = message.find('\0', at);
    if (end == std::string_view::npos) return HandoverParse::kIncomplete;
    if (end == at) {
      if (end + 1 != message.size()) return HandoverParse::kBad;
      *paths = std::move(found);
      return HandoverParse::kComplete;
    }
    found.emplace_back(message.substr(at, end - at));
    at = end + 1;
  }
}

InstanceLock::InstanceLock(const QString& name)
    : path_(directory() + QLatin1Char('/') + name + QStringLiteral(".lock")),
      socketPath_(directory() + QLatin1Char('/') + name) {}

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

HandoverServer::HandoverServer(const QString& socketPath, Deliver deliver)
    : socketPath_(socketPath), deliver_(std::move(deliver)) {}

HandoverServer::~HandoverServer() {
  if (server_) server_->close();  // removes the socket file
}

bool HandoverServer::listen() {
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  QLocalServer::removeServer(socketPath_);
  if (!server_->listen(socketPath_)) {
    server_.reset();
    return false;
  }
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] { accept(); });
  return true;
}

void HandoverServer::accept() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] { read(socket); });
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    read(socket);  // what came before the connection was taken up
  }
}

void HandoverServer::read(QLocalSocket* socket) {
  // The bytes so far live on the socket until the message is whole.
  QByteArray buffer = socket->property("handover").toByteArray() + socket->readAll();
  std::vector<std::string> paths;
  switch (decodeHandover(std::string_view(buffer.constData(), static_cast<std::size_t>(buffer.size())), &paths)) {
    case HandoverParse::kIncomplete:
      socket->setProperty("handover", buffer);
      return;
    case HandoverParse::kBad:
      socket->abort();
      return;
    case HandoverParse::kComplete:
      socket->setProperty("handover", QByteArray());
      deliver_(std::move(paths));
      socket->write(kHandoverAnswer.data(), static_cast<qint64>(kHandoverAnswer.size()));
      socket->disconnectFromServer();
      return;
  }
}

HandoverResult handOver(const QString& socketPath, const std::vector<std::string>& paths, int timeoutMs,
                        QString* why) {
  const QDeadlineTimer deadline(timeoutMs);
  const auto remaining = [&] { return static_cast<int>(qMax<qint64>(0, deadline.remainingTime())); };
  QLocalSocket socket;
  // The first copy listens once its window is built: until then there is no
  // socket, or a stale one that refuses.
  for (;;) {
    socket.connectToServer(socketPath);
    if (socket.waitForConnected(remaining())) break;
    const QLocalSocket::LocalSocketError error = socket.error();
    *why = socket.errorString();
    socket.abort();
    if ((error != QLocalSocket::ServerNotFoundError && error != QLocalSocket::ConnectionRefusedError) ||
        deadline.hasExpired())
      return HandoverResult::kFailed;
    QThread::msleep(50);
  }
  const std::string message = encodeHandover(paths);
  socket.write(message.data(), static_cast<qint64>(message.size()));
  while (socket.bytesToWrite() > 0) {
    if (!socket.waitForBytesWritten(remaining())) {
      *why = socket.errorString();
      return HandoverResult::kFailed;
    }
  }
  QByteArray answer;
  while (answer.size() < static_cast<qsizetype>(kHandoverAnswer.size()) && socket.waitForReadyRead(remaining()))
    answer += socket.readAll();
  if (answer.startsWith(QByteArray(kHandoverAnswer.data(), static_cast<qsizetype>(kHandoverAnswer.size()))))
    return HandoverResult::kTaken;
  // Closed without an answer: the first copy refused the message.
  if (socket.state() != QLocalSocket::ConnectedState) {
    *why = QStringLiteral("the running copy closed the connection");
    return HandoverResult::kFailed;
  }
  return HandoverResult::kSent;
}

ConverterApp::ConverterApp(int& argc, char** argv) : QApplication(argc, argv), argc_(argc), argv_(argv) {
  setApplicationName(QStringLiteral("tonvell"));
  setApplicationDisplayName(QStringLiteral("Tonvell"));
  setApplicationVersion(QStringLiteral(TONVELL_VERSION));
  setDesktopFileName(QStringLiteral(TONVELL_APP_ID));
  setWindowIcon(programIcon());
}

int ConverterApp::run() {
  // Qt has taken its own options out of argv by now.
  const StartRequest request = parseStartRequest(argc_, argv_);
  switch (request.action) {
    case StartRequest::Action::kHelp:
    case StartRequest::Action::kVersion:
      return *answerWithoutWindow(argc_, argv_);
    case StartRequest::Action::kUsageError:
      std::fprintf(stderr, "tonvell: %s\nTry 'tonvell --help'.\n", request.error.c_str());
      return 2;
    case StartRequest::Action::kScreenshot: {
      QStringList inputs;
      for (const std::string& path : request.paths) inputs << pathText(path);
      return screenshot(pathText(request.screenshotFile), inputs);
    }
    case StartRequest::Action::kRun:
      break;
  }

  TraceChannel trace;
  attachTraceFile(trace);
  // Relative names mean the folder the program was started in, here and in
  // the copy they may be handed to.
  std::error_code error;
  const std::string start = std::filesystem::current_path(error).native();
  std::vector<std::string> paths;
  for (const std::string& path : request.paths) paths.push_back(absolutePath(path, start));

  InstanceLock lock(QString::fromLatin1(kInstanceName));
  InstanceLock::Outcome held = lock.tryAcquire();
  if (held == InstanceLock::Outcome::kHeldElsewhere) {
    // Another copy runs: end at once, saying nothing to the user; files go
    // to that copy's list.
    trace.write("Tonvell Mutex found!!\n");
    if (paths.empty()) return 0;
    QString why;
    const HandoverResult handed = handOver(lock.socketPath(), paths, 10000, &why);
    const std::string count = std::to_string(paths.size());
    if (handed == HandoverResult::kTaken) {
      trace.write("files handed to the running copy: " + count + "\n");
      return 0;
    }
    if (handed == HandoverResult::kSent) {
      trace.write("files sent to the running copy, which is busy: " + count + "\n");
      return 0;
    }
    // That copy may have ended meanwhile: then this one takes its place.
    held = lock.tryAcquire();
    if (held == InstanceLock::Outcome::kHeldElsewhere) {
      std::fprintf(stderr, "tonvell: the running copy cannot take the files: %s\n", qPrintable(why));
      return 1;
    }
  }

  ConverterDialog window(settingsFilePath());
  if (!paths.empty()) window.appendPaths(paths);

  // Files from a later copy join the list at once, or after the run that
  // holds the window; the window comes to the front.
  std::vector<std::string> pending;
  QTimer retry;
  retry.setInterval(100);
  const auto take = [&] {
    if (pending.empty()) return;
    if (window.running()) {
      retry.start();
      return;
    }
    retry.stop();
    // Taken out first: the pull of appendPaths may open a message box, whose
    // loop can bring more.
    const std::vector<std::string> paths = std::exchange(pending, {});
    window.appendPaths(paths);
    window.raise();
    window.activateWindow();
  };
  QObject::connect(&retry, &QTimer::timeout, this, take);
  HandoverServer server(lock.socketPath(), [&](std::vector<std::string> more) {
    trace.write("files from another copy: " + std::to_string(more.size()) + "\n");
    pending.insert(pending.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    take();
  });
  if (held == InstanceLock::Outcome::kAcquired && !server.listen())
    trace.write("no socket for later copies: " + lock.socketPath().toStdString() + "\n");

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
    window.converter().settings.outputFolder = QFile::encodeName(output.path() + QLatin1Char('/')).toStdString();
    window.push();
    window.show();
    window.startRun();
  }
  const QPixmap image = window.grab();
  window.done(ConverterDialog::kCancel);
  return image.save(target, "PNG") ? 0 : 1;
}

}  // namespace tonvell::ui
