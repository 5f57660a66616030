#include "platform/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tonvell::platform {

void prepareStandardStreams() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // A standard stream the program was started without stays closed to it,
  // but its number is taken (by /dev/null, opened the other way, so that
  // using the stream fails as on a closed one): else the next file opened,
  // an output being written among them, would get the number, and the log
  // meant for standard output would go into that file.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int placeholder = ::open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    if (placeholder > fd) {
      ::dup2(placeholder, fd);
      ::close(placeholder);
    }
  }
}

bool isInteractive(std::FILE* stream) { return stream && ::isatty(fileno(stream)); }

bool drawsProgress(std::FILE* stream) {
  if (!isInteractive(stream)) return false;
  const char* term = std::getenv("TERM");
  return !(term && std::strcmp(term, "dumb") == 0);
}

QuestionConsole openQuestionConsole() {
  QuestionConsole console;
  console.in = std::fopen("/dev/tty", "r");
  if (console.in) console.out = std::fopen("/dev/tty", "w");
  return console;
}

LocalDate localToday() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return LocalDate{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

}  // namespace tonvell::platform
