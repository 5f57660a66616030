#include <cstdio>

#include "core/gbk.h"
#include "mfi/assemble.h"
#include "mfi/format.h"
#include "mfi/output.h"

namespace tonvell {

namespace {

constexpr std::size_t kMaxText = 0xFFFF;
constexpr std::size_t kFixedHeaderLength = 76;  // header length with both texts empty

// Typed text (UTF-8) first when its switch is 1, then "/" and the SMF text
// when that switch is 1 and the SMF text is not empty. Only 1 counts as on.
// A typed text ends at its first NUL (a profile can hold one): the chunk's
// length must count exactly the bytes written, and the SMF texts never hold
// a NUL (the reader drops them).
std::string joinTexts(int typedSwitch, const std::string& typed, int smfSwitch, const std::string& smf,
                      bool* substituted) {
  std::string text;
  if (typedSwitch == 1) {
    GbkText gbk = utf8ToGbk(std::string_view(typed).substr(0, typed.find('\0')));
    if (gbk.substituted && substituted) *substituted = true;
    text = std::move(gbk.text);
  }
  if (smfSwitch == 1 && !smf.empty()) {
    if (!text.empty()) text += '/';
    text += smf;
  }
  return text;
}

}  // namespace

std::string buildTitleText(const ConversionOptions& settings, const ConversionWorkspace& ws, bool* substituted) {
  return joinTexts(settings.titleSwitch, settings.titleText, settings.smfSeqNameSwitch, ws.smfSequenceName,
                   substituted);
}

std::string buildCopyrightText(const ConversionOptions& settings, const ConversionWorkspace& ws, bool* substituted) {
  return joinTexts(settings.copyrightSwitch, settings.copyrightText, settings.smfCopyrightSwitch, ws.smfCopyright,
                   substituted);
}

ConvertResult writeMfiHeader(PassContext& pass) {
  ConversionWorkspace& ws = pass.ws;
  const CalendarDate date = pass.date;

  bool substituted = false;
  const std::string title = buildTitleText(pass.options, ws, &substituted);
  const std::string copyright = buildCopyrightText(pass.options, ws, &substituted);
  if (title.size() > kMaxText || copyright.size() > kMaxText ||
      kFixedHeaderLength + title.size() + copyright.size() > kMaxText)
    return result::kHeaderTooLong;
  ws.headerTextSubstituted = substituted;

  writeText(ws, "melo");
  writeU32(ws, 0);
  const int lengthField = ws.writeLength;
  writeU16(ws, 0);
  const int counted = ws.writeLength;
  writeByte(ws, 1);
  writeByte(ws, 1);
  writeByte(ws, mfi::kTracks);
  writeText(ws, "sorc");
  writeU16(ws, 1);
  writeByte(ws, pass.options.copyProhibit);
  writeText(ws, "vers");
  writeU16(ws, 4);
  writeText(ws, "0200");
  writeText(ws, "note");
  writeU16(ws, 2);
  writeU16(ws, 1);
  writeText(ws, "titl");
  writeU16(ws, static_cast<std::uint32_t>(title.size()));
  writeText(ws, title);
  writeText(ws, "copy");
  writeU16(ws, static_cast<std::uint32_t>(copyright.size()));
  writeText(ws, copyright);
  writeText(ws, "prot");
  writeU16(ws, 16);
  writeText(ws, "(C)ORVANTIS,INC.");
  writeText(ws, "date");
  writeU16(ws, 8);
  char digits[32];
  std::snprintf(digits, sizeof digits, "%04d%02d%02d", date.year, date.month, date.day);
  writeText(ws, std::string_view(digits, 8));
  if (ws.overflow) return result::kNoMemory;

  const int headerLength = ws.writeLength - counted;
  ws.writeBase[lengthField] = static_cast<std::uint8_t>(headerLength >> 8);
  ws.writeBase[lengthField + 1] = static_cast<std::uint8_t>(headerLength);
  return result::kSuccess;
}

}  // namespace tonvell
