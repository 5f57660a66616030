#include "platform/console.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tonvell::platform {

void prepareStandardStreams() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
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
