// What a conversion stage ends with. Each failure's value is also the id of
// its log message in the string table (messageId).
#pragma once

namespace tonvell {

enum class ResultCode : int {
  kFileNotFound = 105,     // "找不到文件": cannot be opened as a regular file
  kNoMemory = 106,         // "无法保证转换的内存": too large, or the work buffers overflowed
  kSuccess = 108,          // never logged
  kNotMidi = 109,          // "不是 MIDI 文件"
  kSmpteDivision = 111,    // time-code division
  kCannotOpenOutput = 114, // the output cannot be created (reported by saving)
  kNotFormat1 = 115,       // format 0 or 2
  kReadFailed = 140,       // opened, but not read in full
  kHeaderTooLong = 141,    // title/copyright beyond the 16-bit length fields
};

// The older name, kept where a stage's outcome is passed along.
using ConvertResult = ResultCode;

namespace result {
inline constexpr ResultCode kFileNotFound = ResultCode::kFileNotFound;
inline constexpr ResultCode kNoMemory = ResultCode::kNoMemory;
inline constexpr ResultCode kSuccess = ResultCode::kSuccess;
inline constexpr ResultCode kNotMidi = ResultCode::kNotMidi;
inline constexpr ResultCode kSmpteDivision = ResultCode::kSmpteDivision;
inline constexpr ResultCode kCannotOpenOutput = ResultCode::kCannotOpenOutput;
inline constexpr ResultCode kNotFormat1 = ResultCode::kNotFormat1;
inline constexpr ResultCode kReadFailed = ResultCode::kReadFailed;
inline constexpr ResultCode kHeaderTooLong = ResultCode::kHeaderTooLong;
}  // namespace result

// The string-table id of the code's log message.
constexpr int messageId(ResultCode code) { return static_cast<int>(code); }

}  // namespace tonvell
