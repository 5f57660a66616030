#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>

namespace tonvell::platform {

namespace {

HANDLE handleOf(std::FILE* stream) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); }

// The code pages the console had, put back when the program ends.
UINT savedInputCodePage = 0;
UINT savedOutputCodePage = 0;
void restoreConsoleCodePages() {
  if (savedInputCodePage) SetConsoleCP(savedInputCodePage);
  if (savedOutputCodePage) SetConsoleOutputCP(savedOutputCodePage);
}

}  // namespace

void prepareStandardStreams() {
  // Bytes in and out unchanged: the log's LF line ends stay LF, a list's
  // CR LF reaches the list reader as it is.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // A console decodes each write on its own: an unbuffered stream would cut
  // UTF-8 characters apart. Whatever the program writes to standard error is
  // flushed at the end of each message already.
  if (isInteractive(stdout)) std::setvbuf(stdout, nullptr, _IOFBF, 4096);
  if (isInteractive(stderr)) std::setvbuf(stderr, nullptr, _IOFBF, 4096);
  // What the program writes is UTF-8; so is what a console shows and types.
  savedInputCodePage = GetConsoleCP();
  savedOutputCodePage = GetConsoleOutputCP();
  if (savedInputCodePage || savedOutputCodePage) {
    SetConsoleCP(CP_UTF8);
    SetConsoleOutputCP(CP_UTF8);
    std::atexit(restoreConsoleCodePages);
  }
}

bool isInteractive(std::FILE* stream) {
  DWORD mode = 0;
  return stream && GetConsoleMode(handleOf(stream), &mode);
}

bool drawsProgress(std::FILE* stream) {
  // The progress line is redrawn with a carriage return and "ESC [ K".
  DWORD mode = 0;
  const HANDLE h = stream ? handleOf(stream) : INVALID_HANDLE_VALUE;
  if (!stream || !GetConsoleMode(h, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  if (!SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
  // The console gets its own mode back when the program ends.
  static HANDLE console;
  static DWORD savedMode;
  console = h;
  savedMode = mode;
  std::atexit([] { SetConsoleMode(console, savedMode); });
  return true;
}

QuestionConsole openQuestionConsole() {
  QuestionConsole console;
  const auto open = [](const wchar_t* name, int flags, const char* mode) -> std::FILE* {
    const HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd < 0) {
      CloseHandle(h);
      return nullptr;
    }
    std::FILE* f = _fdopen(fd, mode);
    if (!f) _close(fd);
    else std::setvbuf(f, nullptr, _IOFBF, 4096);  // whole UTF-8 characters per write, as for stderr
    return f;
  };
  console.in = open(L"CONIN$", _O_RDONLY | _O_TEXT, "r");
  if (console.in) console.out = open(L"CONOUT$", _O_WRONLY | _O_BINARY, "wb");
  return console;
}

LocalDate localToday() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalDate{now.wYear, now.wMonth, now.wDay};
}

}  // namespace tonvell::platform
