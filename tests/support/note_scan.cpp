#include "support/note_scan.h"

#include "smf/reader.h"

namespace tonvell::test {

std::int64_t findNoteDurationByScan(ConversionWorkspace& ws, int key) {
  const int saved = ws.readPos;
  int s = ws.runningStatus & 0xFF;
  std::int64_t sum = 0;
  std::int64_t found = -1;
  while (ws.readPos < ws.readEnd) {
    sum += readVarLen(ws);
    if (peekByte(ws) >= 0x80) s = readByte(ws);
    if (s >= 0xF0) {
      skipEventBody(ws, s, kLookAheadReading);  // no manufacturer id here, unlike the split
    } else {
      const int k = readByte(ws);
      const int kind = s & 0xF0;
      const bool ours = (s & 0x0F) == ws.currentChannel;
      if (kind == 0x80) {
        readByte(ws);
        if (ours && k == key) { found = sum; break; }
      } else if (kind == 0x90) {
        const int velocity = readByte(ws);
        if (ours && velocity == 0 && k == key) { found = sum; break; }
      } else if (kind == 0xA0 || kind == 0xB0 || kind == 0xE0) {
        readByte(ws);
      }
    }
  }
  ws.readPos = saved;
  return found;
}

bool ScanNoteLengths::findNoteLengths(ConversionWorkspace& ws) {
  const int begin = ws.readPos;
  const int status = ws.runningStatus;
  ws.noteLengths.clear();
  ws.nextNoteLength = 0;
  while (ws.readPos < ws.readEnd) {
    readVarLen(ws);
    const int s = readStatus(ws) & 0xFF;
    if ((s & 0xF0) == 0x90 && (s & 0x0F) == ws.currentChannel) {
      const int key = readByte(ws);
      const int velocity = readByte(ws);
      if (velocity != 0) ws.noteLengths.push_back(findNoteDurationByScan(ws, key));
    } else {
      skipEventBody(ws, s, kTranslationReading);
    }
  }
  ws.readPos = begin;
  ws.runningStatus = status;
  return true;
}

}  // namespace tonvell::test
