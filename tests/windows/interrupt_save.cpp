// Stops tonvell-cli.exe with Ctrl-Break in the middle of a save and checks
// that the temporary file is gone:
//   interrupt-save.exe TONVELL-CLI.EXE FOLDER MIDI-FILE
// The program runs under this one as its debugger, with a breakpoint on
// FlushFileBuffers, which a save that replaces a file calls once its
// temporary file is written; there the saving thread is held and the console
// event delivered. Exit status 0 when the run ended by the event, the temporary
// file is gone, the older output and a stranger's ".tonvell-" file are kept.
#include <windows.h>

#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void spit(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const DWORD event = CTRL_BREAK_EVENT;
  if (argc != 4) {
    std::fprintf(stderr, "usage: interrupt-save TONVELL-CLI.EXE FOLDER MIDI-FILE\n");
    return 2;
  }
  const fs::path folder = argv[2];
  fs::remove_all(folder);
  fs::create_directories(folder / "out");
  fs::copy_file(argv[3], folder / "a.mid");
  spit(folder / "out" / "a.mld", "old");
  spit(folder / "out" / ".tonvell-keep", "not the run's");

  std::wstring command = L"\"" + std::wstring(argv[1]) + L"\" -q --date 20030105 --overwrite all -j 1 -o out/ a.mid";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                      nullptr, folder.wstring().c_str(), &startup, &process)) {
    std::fprintf(stderr, "interrupt-save: cannot start the program (%lu)\n", GetLastError());
    return 2;
  }
  auto* const breakpoint =
      reinterpret_cast<BYTE*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "FlushFileBuffers"));
  BYTE original = 0;
  bool armed = false, sent = false;
  DWORD exitCode = 0;
  for (;;) {
    DEBUG_EVENT debug{};
    if (!WaitForDebugEvent(&debug, 20000)) {
      std::fprintf(stderr, "interrupt-save: the program does not end\n");
      TerminateProcess(process.hProcess, 3);
      return 1;
    }
    DWORD how = DBG_CONTINUE;
    if (debug.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
      const EXCEPTION_RECORD& record = debug.u.Exception.ExceptionRecord;
      if (record.ExceptionCode == EXCEPTION_BREAKPOINT && !armed) {
        // The loader's breakpoint: every import is resolved now.
        SIZE_T n = 0;
        const BYTE int3 = 0xCC;
        ReadProcessMemory(process.hProcess, breakpoint, &original, 1, &n);
        WriteProcessMemory(process.hProcess, breakpoint, &int3, 1, &n);
        FlushInstructionCache(process.hProcess, breakpoint, 1);
        armed = true;
      } else if (record.ExceptionCode == EXCEPTION_BREAKPOINT && record.ExceptionAddress == breakpoint && !sent) {
        SIZE_T n = 0;
        WriteProcessMemory(process.hProcess, breakpoint, &original, 1, &n);
        FlushInstructionCache(process.hProcess, breakpoint, 1);
        HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, debug.dwThreadId);
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(thread, &context);
        context.Rip = reinterpret_cast<DWORD64>(breakpoint);
        SetThreadContext(thread, &context);
        // The save stays where it is: its temporary file written, not yet moved.
        SuspendThread(thread);
        CloseHandle(thread);
        // Ctrl-C as the console delivers it: a new thread in the program
        // running kernelbase's CtrlRoutine (GenerateConsoleCtrlEvent needs a
        // console that Wine without a terminal does not give).
        const auto ctrlRoutine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine"));
        HANDLE delivery = ctrlRoutine ? CreateRemoteThread(process.hProcess, nullptr, 0, ctrlRoutine,
                                                            reinterpret_cast<void*>(std::uintptr_t{event}), 0, nullptr)
                                      : nullptr;
        sent = delivery != nullptr;
        if (delivery) CloseHandle(delivery);
        else std::fprintf(stderr, "interrupt-save: cannot deliver the console event (%lu)\n", GetLastError());
      } else if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
        how = DBG_EXCEPTION_NOT_HANDLED;  // Ctrl-Break and the rest: the program's own
      }
    } else if (debug.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
      exitCode = debug.u.ExitProcess.dwExitCode;
      ContinueDebugEvent(debug.dwProcessId, debug.dwThreadId, DBG_CONTINUE);
      break;
    }
    if (debug.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && debug.u.CreateProcessInfo.hFile)
      CloseHandle(debug.u.CreateProcessInfo.hFile);
    if (debug.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && debug.u.LoadDll.hFile) CloseHandle(debug.u.LoadDll.hFile);
    ContinueDebugEvent(debug.dwProcessId, debug.dwThreadId, how);
  }

  bool ok = true;
  if (!sent) {
    std::fprintf(stderr, "interrupt-save: the save was never reached\n");
    ok = false;
  }
  if (exitCode != static_cast<DWORD>(STATUS_CONTROL_C_EXIT)) {
    std::fprintf(stderr, "interrupt-save: the program ended with %#lx, not by the console event\n", exitCode);
    ok = false;
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder / "out")) names.push_back(entry.path().filename().string());
  if (names.size() != 2 || slurp(folder / "out" / "a.mld") != "old" ||
      slurp(folder / "out" / ".tonvell-keep") != "not the run's") {
    std::fprintf(stderr, "interrupt-save: out/ holds");
    for (const std::string& name : names) std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, " (a.mld: \"%s\")\n", slurp(folder / "out" / "a.mld").substr(0, 8).c_str());
    ok = false;
  }
  return ok ? 0 : 1;
}
