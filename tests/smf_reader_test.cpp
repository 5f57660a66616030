#include "smf/reader.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Bytes;
using test::hex;

// A workspace reading `bytes` (followed by `after` bytes that are loaded data
// but lie past the limit).
struct Cursor {
  ConversionWorkspace ws;
  Bytes storage;
  explicit Cursor(const Bytes& bytes, const Bytes& after = {}) : storage(bytes) {
    storage.insert(storage.end(), after.begin(), after.end());
    storage.push_back(0xEE);  // never part of the loaded data
    ws.readBase = storage.data();
    ws.readPos = 0;
    ws.readEnd = static_cast<int>(bytes.size());
    ws.readSize = static_cast<int>(bytes.size() + after.size());
  }
};

TEST(SmfReader, VariableLengthQuantities) {
  struct Case {
    const char* bytes;
    int value;
    int taken;
  } cases[] = {{"00", 0, 1},          {"81 00", 0x80, 2},          {"FF 7F", 0x3FFF, 2},
               {"81 80 00", 0x4000, 3}, {"FF FF FF 7F", 0x0FFFFFFF, 4}, {"81 80 80 80 00", 0x200000, 4}};
  for (const Case& c : cases) {
    Cursor cur(hex(c.bytes));
    EXPECT_EQ(readVarLen(cur.ws), c.value) << c.bytes;
    EXPECT_EQ(cur.ws.readPos, c.taken) << c.bytes;
  }
}

TEST(SmfReader, PendingDeltaIsWrittenInShortestForm) {
  struct Case {
    int delta;
    const char* bytes;
  } cases[] = {{0, "00"},           {0x7F, "7F"},          {0x80, "81 00"},          {0x3FFF, "FF 7F"},
               {0x4000, "81 80 00"}, {0x1FFFFF, "FF FF 7F"}, {0x200000, "81 80 80 00"}, {0x0FFFFFFF, "FF FF FF 7F"}};
  for (const Case& c : cases) {
    ConversionWorkspace ws;
    Bytes out(8, 0xAA);
    ws.writeBase = out.data();
    ws.bufferCapacity = 8;
    ws.pendingDelta[3] = c.delta;
    ws.streamPos[3] = 1;
    writePendingDelta(ws, 3);
    const Bytes expected = hex(c.bytes);
    EXPECT_EQ(test::hexOf(out.data() + 1, expected.size()), c.bytes);
    EXPECT_EQ(ws.streamPos[3], 1 + static_cast<int>(expected.size()));
    EXPECT_EQ(ws.pendingDelta[3], c.delta) << "left for the caller to clear";
    EXPECT_EQ(out[1 + expected.size()], 0xAA) << "nothing written beyond";
  }
}

TEST(SmfReader, PendingDeltaNeverPassesTheBuffer) {
  ConversionWorkspace ws;
  Bytes out(4, 0);
  ws.writeBase = out.data();
  ws.bufferCapacity = 4;
  ws.streamPos[0] = 2;
  ws.pendingDelta[0] = 0x4000;  // three bytes, only two left
  writePendingDelta(ws, 0);
  EXPECT_TRUE(ws.overflow);
  EXPECT_EQ(ws.streamPos[0], 2);
}

TEST(SmfReader, FixedWidthValuesAndIds) {
  Cursor a(hex("00 40 7F 7F"));
  EXPECT_EQ(readValue14(a.ws), 0x2000);
  EXPECT_EQ(readValue14(a.ws), 0x3FFF);

  Cursor b(hex("43 00 01 02"));
  EXPECT_EQ(readSysexId(b.ws), 0x43);
  EXPECT_EQ(b.ws.readPos, 1);
  EXPECT_EQ(readSysexId(b.ws), 0x10102);
  EXPECT_EQ(b.ws.readPos, 4);

  Cursor c(hex("12 34 DE AD BE EF"));
  EXPECT_EQ(readU16(c.ws), 0x1234u);
  EXPECT_EQ(readU32(c.ws), 0xDEADBEEFu);
}

TEST(SmfReader, AtTheLimitTheByteThereIsReadAgainWithoutMoving) {
  // The byte at the limit still belongs to the loaded data: it is returned.
  Cursor inside(hex("11"), hex("7E"));
  EXPECT_EQ(readByte(inside.ws), 0x11);
  EXPECT_EQ(readByte(inside.ws), 0x7E);
  EXPECT_EQ(inside.ws.readPos, 1);
  EXPECT_EQ(readU16(inside.ws), 0x7E7Eu);
  EXPECT_EQ(inside.ws.readPos, 1);

  // At the end of the loaded data a read gives 0 and touches nothing beyond.
  Cursor end(hex("11"));
  readByte(end.ws);
  EXPECT_EQ(readByte(end.ws), 0);
  EXPECT_EQ(peekByte(end.ws), 0);
  EXPECT_EQ(readVarLen(end.ws), 0);
}

TEST(SmfReader, TextDropsNulBytesAndStopsAtTheLimit) {
  std::string text = "old";
  Cursor a(hex("41 00 42"));
  readText(a.ws, 0, &text);
  EXPECT_EQ(text, "");
  readText(a.ws, 3, &text);
  EXPECT_EQ(text, "AB");

  // A declared length far beyond the data reads only what is there.
  Cursor b(hex("41 42"), hex("43 44"));
  readText(b.ws, 0x0FFFFFFF, &text);
  EXPECT_EQ(text, "AB");
  EXPECT_EQ(b.ws.readPos, 2);
}

TEST(SmfReader, SysexScanEndsAtTheLimit) {
  Cursor a(hex("01 02 F7 05"));
  skipToSysexEnd(a.ws);
  EXPECT_EQ(a.ws.readPos, 3);
  Cursor b(hex("01 02 03"), hex("F7"));
  skipToSysexEnd(b.ws);
  EXPECT_EQ(b.ws.readPos, 3);
}

TEST(SmfReader, FindChunkPassesOverOtherIdsByLength) {
  const std::uint32_t mtrk = 0x4D54726B;
  Cursor a(hex("41 42 43 44 00 00 00 02 AA BB  4D 54 72 6B 00 00 00 03 01 02 03"));
  EXPECT_EQ(findChunk(a.ws, mtrk), 3u);
  EXPECT_EQ(a.ws.readPos, 18);

  // An empty matching chunk answers 0 with the cursor past its header.
  Cursor b(hex("4D 54 72 6B 00 00 00 00  4D 54 72 6B 00 00 00 01 05"));
  EXPECT_EQ(findChunk(b.ws, mtrk), 0u);
  EXPECT_EQ(b.ws.readPos, 8);
  EXPECT_EQ(findChunk(b.ws, mtrk), 1u);

  // At or past the limit nothing is read.
  Cursor c(hex("4D 54 72 6B 00 00 00 01 05"));
  c.ws.readPos = c.ws.readEnd;
  EXPECT_EQ(findChunk(c.ws, mtrk), 0u);
  EXPECT_EQ(c.ws.readPos, c.ws.readEnd);
}

TEST(SmfReader, FindChunkNeverStepsOutsideTheData) {
  const std::uint32_t mtrk = 0x4D54726B;
  // A length with its top bit set would step backwards.
  Cursor back(hex("41 42 43 44 FF FF FF F0  4D 54 72 6B 00 00 00 01 05"));
  EXPECT_EQ(findChunk(back.ws, mtrk), 0u);
  EXPECT_EQ(back.ws.readPos, back.ws.readEnd);
  EXPECT_EQ(findChunk(back.ws, mtrk), 0u) << "later searches fail too";

  // A length past the end of the data.
  Cursor past(hex("41 42 43 44 7F FF FF FF  4D 54 72 6B 00 00 00 01 05"));
  EXPECT_EQ(findChunk(past.ws, mtrk), 0u);
  EXPECT_EQ(past.ws.readPos, past.ws.readEnd);
}

}  // namespace
}  // namespace tonvell
