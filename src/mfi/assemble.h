// The MFi file: the header with its information chunks, then four "trac"
// chunks, each merging four channels' events in time order.
#pragma once

#include "core/pass.h"

namespace tonvell {

// Writes the header at writeLength 0 (which it expects):
//   0  "melo"
//   4  u32 file length - 8 (0 here; the assembly fills it in)
//   8  u16 header length: bytes from offset 10 to the end of the "date" chunk
//   10 01 01 04 (the last: number of "trac" chunks)
//   13 "sorc" u16 1 copyProhibit | "vers" u16 4 "0200" | "note" u16 2 0001
//      "titl" u16 n title | "copy" u16 n copyright | "prot" u16 16 "(C)ORVANTIS,INC."
//      "date" u16 8 YYYYMMDD (local date)
// The title and copyright texts are GBK. 108, or 141 (nothing written) when
// they do not fit the 16-bit length fields.
ConvertResult writeMfiHeader(PassContext& pass);

// The title and copyright texts as the header writes them (GBK bytes).
// `substituted` is set when a typed text held characters GBK lacks.
std::string buildTitleText(const ConversionOptions& settings, const ConversionWorkspace& ws, bool* substituted);
std::string buildCopyrightText(const ConversionOptions& settings, const ConversionWorkspace& ws, bool* substituted);

// The whole file into bufferB[0, writeLength), from the events the
// translation left there. 108; 141 or 106 when the file cannot be made.
ConvertResult assembleMfi(PassContext& pass);

// Copies the event at `offset` of readBase into the track: the channel in
// track goes into the top bits of a note byte and of the values of codes E0
// to E3, Data_End becomes NOP, byte 0 becomes the delta (0 when another
// channel was already served at this time). Returns offset + 4.
int copyTrackEvent(PassContext& pass, int offset, int channelInTrack, int sameTimeCount, std::int64_t delta);

}  // namespace tonvell
