// The log text of a batch run, event by event: the one formatter behind the
// window's log box and the command line's standard output. Texts are UTF-8;
// lines end in CR LF or LF exactly as the log has always shown them.
#pragma once

#include <string>

#include "convert/batch.h"

namespace tonvell {

namespace logtext {

// The banner a cleared log starts with.
std::string banner();
// The separator, then "NNN: path".
std::string fileStarted(int index, const std::string& inputPath);
std::string headerTextSubstituted();
// "     => path".
std::string outputChosen(const std::string& outputPath);
// The line of channel 16 left out, if it was; the overwrite line, if any;
// then why the file failed, if it did.
std::string fileFinished(const FileOutcome& outcome);
// "     ※已覆盖" and the like for an output that existed; nothing otherwise.
std::string overwriteDecided(OverwriteDecision decision);
// The separator and "已检查 N 个文件、已保存了 M 个文件。"; nothing when no
// file was taken up.
std::string runFinished(const RunSummary& summary);

}  // namespace logtext

}  // namespace tonvell
