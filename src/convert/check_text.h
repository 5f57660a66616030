// The check's report as people and scripts read it: the text `tonvell-cli
// check` prints and the objects of its --json array. The command line and
// the WebAssembly module both print through here.
#pragma once

#include <string>
#include <string_view>

#include "convert/check.h"

namespace tonvell {

// The figures of one checked file (report.ok) under the name `file` (UTF-8):
// the size and polyphony line, the table by channel, the totals and what was
// found, LF line ends.
std::string checkReportText(std::string_view file, const CheckReport& report);

// One file's object of `check --json`, two spaces a level, without a line
// end after the closing brace. A report that is not ok gives the file and
// the error only. Texts that are not UTF-8 have U+FFFD where they fail.
std::string checkReportJson(std::string_view file, const CheckReport& report);

}  // namespace tonvell
