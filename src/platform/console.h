// The console: arguments as UTF-8, whether a stream is a person at a
// terminal, the terminal of the process when standard input carries data,
// and the local date. One implementation per system.
#pragma once

#include <cstdio>
#include <string>

namespace tonvell::platform {

// Sets up the standard streams for the program: on Windows binary mode, so
// that the log keeps LF line ends and bytes pass unchanged, and UTF-8 for
// the console. On POSIX a write to a closed pipe or past the file-size limit
// fails with its reason (EPIPE, EFBIG), which the program reports, instead of
// ending it without a word (SIGPIPE, SIGXFSZ ignored), and a standard
// stream closed at the start keeps its number from the files the program
// opens. (The arguments reach
// runCli as UTF-8: Windows' entry point converts them from UTF-16.)
void prepareStandardStreams();

// True when `stream` is a terminal (a console on Windows).
bool isInteractive(std::FILE* stream);

// True when `stream` is a terminal that can redraw a line in place.
bool drawsProgress(std::FILE* stream);

// The terminal of the process for questions when standard input is taken
// (/dev/tty; CONIN$ and CONOUT$ on Windows). Either may be null.
struct QuestionConsole {
  std::FILE* in = nullptr;
  std::FILE* out = nullptr;
};
QuestionConsole openQuestionConsole();

struct LocalDate {
  int year = 0, month = 0, day = 0;
};
// Today in the local time zone.
LocalDate localToday();

}  // namespace tonvell::platform
