// The string table: every user-facing text of the system keyed by number
// (messages, settings keys, chooser titles). Texts are UTF-8; log messages
// end in CR LF as the log shows them.
#pragma once

#include <string_view>

namespace tonvell {

namespace text {
inline constexpr int kAboutMenuItem = 101;
inline constexpr int kRichEditFace = 102;
inline constexpr int kChooseFolderTitle = 103;
inline constexpr int kChooseFileTitle = 104;
inline constexpr int kSeparator = 107;
inline constexpr int kSection = 116;
inline constexpr int kKeyTitleSwitch = 117;
inline constexpr int kKeyMasterVolumeSwitch = 118;
inline constexpr int kKeyCopyrightSwitch = 119;
inline constexpr int kKeySmfCopyrightSwitch = 120;
inline constexpr int kKeySmfSeqNameSwitch = 121;
inline constexpr int kKeyLoopSwitch = 122;
inline constexpr int kKeyCopyProhibit = 123;
inline constexpr int kKeyTitle = 124;
inline constexpr int kKeyOutputFolder = 125;
inline constexpr int kKeyCopyright = 126;
inline constexpr int kKeyMasterVolume = 130;
inline constexpr int kKeyFormat0Switch = 131;
// Texts of our own, beyond the numbered ones of the original table.
inline constexpr int kWriteFailed = 142;       // the output could not be written in full
inline constexpr int kGbkSubstituted = 143;    // a header text held characters GBK lacks
inline constexpr int kDuplicateOutput = 144;   // the output path was already written by this run
inline constexpr int kOutputIsInput = 146;     // the output path names an input of the run
inline constexpr int kFormat0MenuItem = 145;   // the context menu's switch for format-0 files
inline constexpr int kKeyHandsetSwitch = 150;  // "HANDSETSW"
inline constexpr int kHandsetMenuItem = 151;   // the context-menu item of the handset mode
}  // namespace text

// The text with that id; an empty view for an unknown id.
std::string_view loadString(int id);

}  // namespace tonvell
