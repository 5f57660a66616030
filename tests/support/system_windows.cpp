// The test support's system pieces on Windows: temporary folders, folder
// listings and programs run as child processes (CreateProcessW with pipes).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>

#include "platform/windows/text.h"
#include "support/test_support.h"

namespace tonvell::test {

namespace {

namespace fs = std::filesystem;
using platform::narrow;
using platform::widen;

fs::path pathOf(const std::string& utf8) { return std::u8string(utf8.begin(), utf8.end()); }

// One argument quoted for CommandLineToArgvW and the C runtime: backslashes
// are literal except before a quote.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') {
      ++i;
      ++backslashes;
    }
    if (i == arg.size()) {
      out.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    out += arg[i];
  }
  return out + L"\"";
}

// The environment block of this process with `changes` applied.
std::wstring environmentWith(const std::vector<std::string>& changes) {
  std::map<std::wstring, std::wstring> vars;  // upper-case name -> "Name=value"
  const auto upper = [](std::wstring s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(towupper(c));
    return s;
  };
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
    const std::wstring entry = p;
    const std::size_t eq = entry.find(L'=', 1);
    if (eq != std::wstring::npos) vars[upper(entry.substr(0, eq))] = entry;
  }
  FreeEnvironmentStringsW(block);
  for (const std::string& change : changes) {
    const std::wstring entry = widen(change);
    const std::size_t eq = entry.find(L'=');
    if (eq == std::wstring::npos)
      vars.erase(upper(entry));
    else
      vars[upper(entry.substr(0, eq))] = entry;
  }
  std::wstring out;
  for (const auto& [name, entry] : vars) out += entry + L'\0';
  return out + L'\0';
}

void readAll(HANDLE from, std::string* into) {
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(from, buffer, sizeof buffer, &n, nullptr) && n > 0) into->append(buffer, n);
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string name = "tonvell-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(GetTickCount() % 100000) + "-" + std::to_string(counter++);
    const fs::path dir = base / name;
    if (CreateDirectoryW(dir.wstring().c_str(), nullptr)) {
      const std::u8string text = dir.generic_u8string();
      path_.assign(text.begin(), text.end());
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files must be made writable before they can go.
  for (auto it = fs::recursive_directory_iterator(pathOf(path_), ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    SetFileAttributesW(it->path().wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  fs::remove_all(pathOf(path_), ec);
}

std::vector<std::string> midiFilesIn(const std::string& folder) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = fs::directory_iterator(pathOf(folder), ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::u8string name = it->path().filename().u8string();
    const std::string text(name.begin(), name.end());
    if (text.size() > 4 && text.compare(text.size() - 4, 4, ".mid") == 0) paths.push_back(folder + "/" + text);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

const bool kRenderBuilt = false;
const bool kPosixSystem = false;

bool fileExists(const std::string& path) { return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

double threadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 1e7;  // 100 ns units
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd,
                         const std::vector<std::string>& env) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE inRead, inWrite, outRead, outWrite, errRead, errWrite;
  if (!CreatePipe(&inRead, &inWrite, &inherit, 0) || !CreatePipe(&outRead, &outWrite, &inherit, 0) ||
      !CreatePipe(&errRead, &errWrite, &inherit, 0))
    throw std::runtime_error("CreatePipe failed");
  // The parent's ends stay with the parent.
  for (const HANDLE h : {inWrite, outRead, errRead}) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine;
  for (const std::string& a : argv) commandLine += (commandLine.empty() ? L"" : L" ") + quoted(widen(a));
  std::wstring environment = environmentWith(env);
  const std::wstring folder = widen(cwd);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                     environment.data(), cwd.empty() ? nullptr : folder.c_str(), &startup, &process);
  for (const HANDLE h : {inRead, outWrite, errWrite}) CloseHandle(h);
  ProcessResult result;
  if (!started) {
    for (const HANDLE h : {inWrite, outRead, errRead}) CloseHandle(h);
    result.status = 127;
    return result;
  }
  std::thread feeder([&] {
    std::size_t written = 0;
    DWORD n = 0;
    while (written < input.size() &&
           WriteFile(inWrite, input.data() + written, static_cast<DWORD>(input.size() - written), &n, nullptr))
      written += n;
    CloseHandle(inWrite);
  });
  std::thread errors([&] { readAll(errRead, &result.err); });
  readAll(outRead, &result.out);
  errors.join();
  feeder.join();
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  result.status = static_cast<int>(code);
  for (const HANDLE h : {outRead, errRead, process.hProcess, process.hThread}) CloseHandle(h);
  return result;
}

}  // namespace tonvell::test
