// UTF-8 and UTF-16 text, and Windows error codes as errno values, for the
// Windows implementation files of this layer.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tonvell::platform {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);
// The errno value closest to a GetLastError() code.
int errnoFromWindows(DWORD code);

}  // namespace tonvell::platform
