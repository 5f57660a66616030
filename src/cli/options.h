// The small pieces of the command line that need no terminal: numbers,
// dates, the lines of a list file, the overwrite modes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/input.h"
#include "convert/run.h"
#include "convert/save.h"

namespace tonvell::cli {

// A number as people write it on a command line: decimal digits only, so
// "010" is ten (never octal) and "0x10", "1e3", "+5", "-1", " 5" and "5abc"
// are none. A number too large for long long reads as its largest value.
std::optional<long long> parseDecimal(std::string_view text);

// "YYYYMMDD" as a real calendar date (year 1 to 9999); nothing otherwise.
std::optional<CalendarDate> parseDate(std::string_view text);

// The UTC date of a SOURCE_DATE_EPOCH value (decimal seconds since 1970);
// nothing when the text is not such a number or the year leaves 1..9999.
std::optional<CalendarDate> dateFromEpoch(std::string_view seconds);

// The lines of a list file as raw lines for the batch run: split at LF only,
// so a CR before the LF, or anything after a NUL, stays in the line and the
// run's own line rules cut it off. A last line without LF is taken whole; the
// empty piece after a final LF is not a line. A UTF-8 byte-order mark at the
// very start (as some editors write) is no part of the first path.
std::vector<std::string> splitListLines(std::string_view text);

// How the command line answers the overwrite question.
enum class OverwriteMode { kAsk, kAll, kSkip };

// The answer a person typed at the prompt; kNone when it is none of them.
OverwriteAnswer parseOverwriteAnswer(std::string_view answer);

// How many of these file-list lines the batch run takes up (the non-empty
// ones after its line cut).
int countTakenLines(const std::vector<std::string>& lines);

}  // namespace tonvell::cli
