#include "smf/reader.h"

namespace tonvell {

void readText(ConversionWorkspace& ws, std::int64_t count, std::string* text) {
  text->clear();
  const std::int64_t room = ws.readEnd > ws.readPos ? ws.readEnd - ws.readPos : 0;
  const int n = static_cast<int>(count < room ? count : room);
  for (int i = 0; i < n; ++i) {
    const std::uint8_t b = ws.readBase[ws.readPos++];
    if (b != 0) text->push_back(static_cast<char>(b));
  }
}

std::uint32_t findChunk(ConversionWorkspace& ws, std::uint32_t id) {
  if (ws.readPos >= ws.readEnd) return 0;
  for (;;) {
    const std::uint32_t chunkId = readU32(ws);
    const std::uint32_t length = readU32(ws);
    if (chunkId == id) return length;
    // Chunk lengths are signed in the cursor's arithmetic: a step backwards or
    // beyond the loaded data ends the search at the limit.
    const std::int64_t next = static_cast<std::int64_t>(ws.readPos) + static_cast<std::int32_t>(length);
    if (static_cast<std::int32_t>(length) < 0 || next > ws.readSize) {
      ws.readPos = ws.readEnd;
      return 0;
    }
    ws.readPos = static_cast<int>(next);
    if (ws.readPos >= ws.readEnd) return 0;
  }
}

}  // namespace tonvell
