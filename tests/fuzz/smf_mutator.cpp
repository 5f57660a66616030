// The structure-aware mutator shared by the fuzz targets that read MIDI
// files. It knows the Standard MIDI File layout: it splits the input into
// its chunks and each track into events, changes one thing (a delta, a
// length, an event, a chunk) and writes the file out again with consistent
// chunk lengths, so that most mutants get past the header checks and reach
// the passes behind them. One mutant in four comes from libFuzzer's own
// byte-level mutations instead.
//
// Linking this file into a target makes it that target's mutator.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

// libFuzzer's own byte-level mutation, for the custom mutator to fall back on.
extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

using Bytes = std::vector<std::uint8_t>;

// One event of a track as it stands in the input: its delta's bytes and the
// bytes after them up to the next delta. Kept raw, so that a file written
// back unchanged is the same file.
struct Event {
  Bytes delta;
  Bytes body;
  int status = -1;  // the status in force for this event (running status included), -1 for none
};

struct Chunk {
  std::uint8_t id[4] = {};
  Bytes data;
  bool parsed = false;        // an "MTrk" chunk split into events
  std::vector<Event> events;  // when parsed
};

struct Smf {
  Bytes header;  // "MThd", its length and its fields, as found
  std::vector<Chunk> chunks;
  Bytes tail;  // bytes too few to form a chunk header
};

bool isTrack(const Chunk& c) { return std::memcmp(c.id, "MTrk", 4) == 0; }

Bytes encodeVarLen(std::uint32_t value) {
  value &= 0x0FFFFFFF;
  Bytes out{static_cast<std::uint8_t>(value & 0x7F)};
  while (value >>= 7) out.insert(out.begin(), static_cast<std::uint8_t>((value & 0x7F) | 0x80));
  return out;
}

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void putBe32(Bytes& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// Splits a track's data into events by the usual rules. Any byte sequence
// splits; a truncated last event just ends early.
std::vector<Event> splitEvents(const Bytes& data) {
  std::vector<Event> events;
  std::size_t i = 0;
  int running = -1;
  const std::size_t n = data.size();
  while (i < n) {
    Event e;
    for (int k = 0; k < 4 && i < n; ++k) {
      e.delta.push_back(data[i]);
      if (!(data[i++] & 0x80)) break;
    }
    const std::size_t start = i;
    int status = running;
    if (i < n && data[i] >= 0x80) {
      status = data[i++];
      running = status;
    }
    e.status = status;
    auto take = [&](std::size_t count) { i = count < n - i ? i + count : n; };
    if (status >= 0x80 && status < 0xF0) {
      take((status & 0xE0) == 0xC0 ? 1 : 2);
    } else if (status == 0xF0) {
      while (i < n && data[i++] != 0xF7) {
      }
    } else if (status == 0xFF) {
      take(1);  // type
      std::uint32_t length = 0;
      for (int k = 0; k < 4 && i < n; ++k) {
        const std::uint8_t b = data[i++];
        length = (length << 7) | (b & 0x7F);
        if (!(b & 0x80)) break;
      }
      take(length);
    } else if (status == 0xF1 || status == 0xF3) {
      take(1);
    } else if (status == 0xF2) {
      take(2);
    } else if (status < 0) {
      take(1);  // a data byte with no status yet
    }
    e.body.assign(data.begin() + static_cast<std::ptrdiff_t>(start), data.begin() + static_cast<std::ptrdiff_t>(i));
    events.push_back(std::move(e));
  }
  return events;
}

bool parseSmf(const std::uint8_t* data, std::size_t size, Smf& smf) {
  if (size < 14 || std::memcmp(data, "MThd", 4) != 0) return false;
  std::size_t pos = 14;
  const std::uint32_t headerLength = be32(data + 4);
  if (headerLength >= 6 && headerLength <= size - 8) pos = 8 + headerLength;
  smf.header.assign(data, data + pos);
  while (size - pos >= 8) {
    Chunk c;
    std::memcpy(c.id, data + pos, 4);
    const std::uint32_t length = be32(data + pos + 4);
    pos += 8;
    const std::size_t take = length < size - pos ? length : size - pos;
    c.data.assign(data + pos, data + pos + take);
    pos += take;
    if (isTrack(c)) {
      c.events = splitEvents(c.data);
      c.parsed = true;
    }
    smf.chunks.push_back(std::move(c));
  }
  smf.tail.assign(data + pos, data + size);
  return true;
}

Bytes joinEvents(const std::vector<Event>& events) {
  Bytes out;
  for (const Event& e : events) {
    out.insert(out.end(), e.delta.begin(), e.delta.end());
    out.insert(out.end(), e.body.begin(), e.body.end());
  }
  return out;
}

Bytes writeSmf(const Smf& smf) {
  Bytes out = smf.header;
  for (const Chunk& c : smf.chunks) {
    const Bytes data = c.parsed ? joinEvents(c.events) : c.data;
    out.insert(out.end(), c.id, c.id + 4);
    putBe32(out, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
  }
  out.insert(out.end(), smf.tail.begin(), smf.tail.end());
  return out;
}

class Mutator {
 public:
  explicit Mutator(unsigned randomStart) : rng_(randomStart) {}

  // Changes `smf` in one way; false when the chosen change did not apply.
  bool mutate(Smf& smf) {
    bool changed = false;
    switch (pick(12)) {
      case 0: return mutateHeader(smf);
      case 1: changed = duplicateChunk(smf); break;
      case 2: changed = removeChunk(smf); break;
      case 3: changed = insertChunk(smf); break;
      case 4: return swapChunks(smf);
      default: return mutateTrack(smf);
    }
    // Mostly keep the header's track count in step with the tracks, or the
    // file is refused before its events are looked at.
    if (changed && !chance(4)) countTracks(smf);
    return changed;
  }

  // Lengths that lie: applied to the written file, after the chunk lengths
  // have been made consistent.
  void breakLength(Bytes& file) {
    std::vector<std::size_t> fields;
    std::size_t pos = 14;
    while (file.size() >= pos + 8) {
      fields.push_back(pos + 4);
      const std::uint32_t length = be32(&file[pos + 4]);
      if (length > file.size() - pos - 8) break;
      pos += 8 + length;
    }
    if (fields.empty()) return;
    const std::size_t at = fields[pick(fields.size())];
    static const std::uint32_t kLengths[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF8, 0x00FFFFFF};
    std::uint32_t length = be32(&file[at]);
    switch (pick(3)) {
      case 0: length = kLengths[pick(std::size(kLengths))]; break;
      case 1: length += static_cast<std::uint32_t>(pick(64)) + 1; break;
      default: length -= static_cast<std::uint32_t>(pick(64)) + 1; break;
    }
    for (int k = 0; k < 4; ++k) file[at + k] = static_cast<std::uint8_t>(length >> (24 - 8 * k));
  }

  std::size_t pick(std::size_t n) { return n ? std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_) : 0; }
  bool chance(int oneIn) { return pick(static_cast<std::size_t>(oneIn)) == 0; }

 private:
  std::uint8_t byte() { return static_cast<std::uint8_t>(pick(256)); }
  std::uint8_t data7() { return static_cast<std::uint8_t>(pick(128)); }

  // A delta worth trying: small ones mostly, the edges of each var-len size
  // and the largest sometimes.
  std::uint32_t interestingDelta() {
    static const std::uint32_t kEdges[] = {0, 1, 0x7F, 0x80, 0xFF, 0x3FFF, 0x4000, 0x1FFFFF, 0x200000, 0x0FFFFFFF};
    if (chance(3)) return kEdges[pick(std::size(kEdges))];
    return static_cast<std::uint32_t>(pick(chance(4) ? 100000 : 1000));
  }

  void countTracks(Smf& smf) {
    if (smf.header.size() < 14) return;
    unsigned n = 0;
    for (const Chunk& c : smf.chunks) n += isTrack(c) && !(c.parsed ? c.events.empty() : c.data.empty());
    smf.header[10] = static_cast<std::uint8_t>(n >> 8);
    smf.header[11] = static_cast<std::uint8_t>(n);
  }

  bool mutateHeader(Smf& smf) {
    if (smf.header.size() < 14) return false;
    auto put16 = [&](std::size_t at, unsigned v) {
      smf.header[at] = static_cast<std::uint8_t>(v >> 8);
      smf.header[at + 1] = static_cast<std::uint8_t>(v);
    };
    switch (pick(4)) {
      case 0:  // track count
        if (chance(2)) countTracks(smf);
        else put16(10, static_cast<unsigned>(pick(20)));
        break;
      case 1: {                                                   // division
        static const unsigned kDivisions[] = {0, 1, 2, 3, 24, 47, 48, 96, 480, 960, 0x7FFF, 0x8000, 0xE728};
        put16(12, kDivisions[pick(std::size(kDivisions))]);
        break;
      }
      case 2: put16(8, static_cast<unsigned>(pick(3))); break;  // format
      default: {  // header length
        static const std::uint32_t kLengths[] = {0, 1, 6, 7, 0xFFFFFFFF};
        const std::uint32_t v = kLengths[pick(std::size(kLengths))];
        for (int k = 0; k < 4; ++k) smf.header[4 + k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
        break;
      }
    }
    return true;
  }

  bool duplicateChunk(Smf& smf) {
    if (smf.chunks.empty() || smf.chunks.size() > 40) return false;
    const std::size_t from = pick(smf.chunks.size());
    const Chunk copy = smf.chunks[from];
    smf.chunks.insert(smf.chunks.begin() + static_cast<std::ptrdiff_t>(pick(smf.chunks.size() + 1)), copy);
    return true;
  }

  bool removeChunk(Smf& smf) {
    if (smf.chunks.empty()) return false;
    smf.chunks.erase(smf.chunks.begin() + static_cast<std::ptrdiff_t>(pick(smf.chunks.size())));
    return true;
  }

  // An empty track, a junk chunk, or a track with a few events of its own.
  bool insertChunk(Smf& smf) {
    Chunk c;
    switch (pick(3)) {
      case 0:
        std::memcpy(c.id, "MTrk", 4);
        c.parsed = true;
        break;
      case 1:
        std::memcpy(c.id, chance(2) ? "XFIH" : "MThd", 4);
        for (std::size_t n = pick(16); n > 0; --n) c.data.push_back(byte());
        break;
      default:
        std::memcpy(c.id, "MTrk", 4);
        c.parsed = true;
        for (std::size_t n = pick(8) + 1; n > 0; --n) c.events.push_back(newEvent());
        if (chance(2)) c.events.push_back(Event{{0}, {0xFF, 0x2F, 0x00}, 0xFF});
        break;
    }
    smf.chunks.insert(smf.chunks.begin() + static_cast<std::ptrdiff_t>(pick(smf.chunks.size() + 1)), std::move(c));
    return true;
  }

  bool swapChunks(Smf& smf) {
    if (smf.chunks.size() < 2) return false;
    std::swap(smf.chunks[pick(smf.chunks.size())], smf.chunks[pick(smf.chunks.size())]);
    return true;
  }

  Event newEvent() {
    Event e;
    e.delta = encodeVarLen(chance(2) ? 0 : interestingDelta());
    const std::uint8_t channel = chance(3) ? 9 : static_cast<std::uint8_t>(pick(16));
    switch (pick(12)) {
      case 0:
      case 1: e.body = {static_cast<std::uint8_t>(0x90 | channel), data7(), data7()}; break;
      case 2: e.body = {static_cast<std::uint8_t>(0x80 | channel), data7(), data7()}; break;
      case 3: e.body = {static_cast<std::uint8_t>(0x90 | channel), data7(), 0}; break;
      case 4: {
        static const std::uint8_t kControllers[] = {1, 7, 10, 11, 0, 64, 121};
        e.body = {static_cast<std::uint8_t>(0xB0 | channel), kControllers[pick(std::size(kControllers))], data7()};
        break;
      }
      case 5: e.body = {static_cast<std::uint8_t>(0xC0 | channel), data7()}; break;
      case 6: e.body = {static_cast<std::uint8_t>(0xE0 | channel), data7(), data7()}; break;
      case 7: e.body = {static_cast<std::uint8_t>(pick(2) ? 0xA0 | channel : 0xD0 | channel), data7(), data7()}; break;
      case 8: {  // system exclusive, with or without its end
        e.body = {0xF0, static_cast<std::uint8_t>(pick(2) ? 0x43 : 0x00)};
        for (std::size_t n = pick(8); n > 0; --n) e.body.push_back(data7());
        if (!chance(3)) e.body.push_back(0xF7);
        break;
      }
      case 9: {  // a meta event, its length sometimes a lie
        static const std::uint8_t kTypes[] = {0x01, 0x02, 0x03, 0x2F, 0x51, 0x58, 0x59, 0x7F};
        const std::uint8_t type = kTypes[pick(std::size(kTypes))];
        Bytes text;
        for (std::size_t n = type == 0x51 ? 3 : pick(12); n > 0; --n) text.push_back(chance(4) ? 0 : byte());
        const std::uint32_t length = chance(5) ? 0x0FFFFFFF : static_cast<std::uint32_t>(text.size());
        e.body = {0xFF, type};
        const Bytes len = encodeVarLen(length);
        e.body.insert(e.body.end(), len.begin(), len.end());
        e.body.insert(e.body.end(), text.begin(), text.end());
        break;
      }
      case 10: {  // the other system bytes
        const std::uint8_t status = static_cast<std::uint8_t>(0xF1 + pick(14));
        e.body = {status};
        if (status == 0xF1 || status == 0xF3) e.body.push_back(data7());
        if (status == 0xF2) e.body.insert(e.body.end(), {data7(), data7()});
        if (status == 0xFF) e.body.insert(e.body.end(), {0x2F, 0x00});
        break;
      }
      default:  // running status: data bytes only
        e.body = {data7(), data7()};
        break;
    }
    e.status = e.body[0] >= 0x80 ? e.body[0] : -1;
    return e;
  }

  bool mutateTrack(Smf& smf) {
    std::vector<std::size_t> tracks;
    for (std::size_t i = 0; i < smf.chunks.size(); ++i)
      if (smf.chunks[i].parsed) tracks.push_back(i);
    if (tracks.empty()) return insertChunk(smf);
    std::vector<Event>& events = smf.chunks[tracks[pick(tracks.size())]].events;
    const std::size_t at = pick(events.size());
    switch (pick(9)) {
      case 0:  // a new delta
        if (events.empty()) return false;
        events[at].delta = encodeVarLen(interestingDelta());
        return true;
      case 1:  // a new event
      case 2:
        if (events.size() > 20000) return false;
        events.insert(events.begin() + static_cast<std::ptrdiff_t>(pick(events.size() + 1)), newEvent());
        return true;
      case 3:  // one event fewer
        if (events.empty()) return false;
        events.erase(events.begin() + static_cast<std::ptrdiff_t>(at));
        return true;
      case 4: {  // an event again, elsewhere
        if (events.empty() || events.size() > 20000) return false;
        const Event copy = events[at];
        events.insert(events.begin() + static_cast<std::ptrdiff_t>(pick(events.size() + 1)), copy);
        return true;
      }
      case 5:  // another channel
        if (events.empty() || events[at].body.empty() || events[at].body[0] < 0x80 || events[at].body[0] >= 0xF0)
          return false;
        events[at].body[0] = static_cast<std::uint8_t>((events[at].body[0] & 0xF0) | pick(16));
        return true;
      case 6: {  // a note's end moved far away: a long gate
        for (std::size_t k = 0; k < events.size(); ++k) {
          const Event& e = events[(at + k) % events.size()];
          if ((e.status & 0xF0) == 0x80 || ((e.status & 0xF0) == 0x90 && e.body.size() >= 2 && e.body.back() == 0)) {
            events[(at + k) % events.size()].delta = encodeVarLen(interestingDelta() | 0x4000);
            return true;
          }
        }
        return false;
      }
      case 7: {  // a note-off dropped: a note that never ends
        for (std::size_t k = 0; k < events.size(); ++k) {
          const std::size_t i = (at + k) % events.size();
          if ((events[i].status & 0xF0) == 0x80) {
            events.erase(events.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
          }
        }
        return false;
      }
      default: {  // the bytes of one event, through libFuzzer's own mutations
        if (events.empty()) return false;
        Bytes& body = events[at].body;
        const std::size_t used = body.size();
        body.resize(used + 16);
        const std::size_t n = LLVMFuzzerMutate(body.data(), used, body.size());
        body.resize(n);
        return true;
      }
    }
  }

  std::mt19937 rng_;
};

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int randomStart) {
  Mutator m(randomStart);
  Smf smf;
  if (m.chance(4) || !parseSmf(data, size, smf)) return LLVMFuzzerMutate(data, size, maxSize);
  bool changed = false;
  for (std::size_t n = m.pick(3) + 1; n > 0; --n) changed |= m.mutate(smf);
  if (!changed) return LLVMFuzzerMutate(data, size, maxSize);
  Bytes file = writeSmf(smf);
  if (m.chance(8)) m.breakLength(file);
  if (file.size() > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
  std::memcpy(data, file.data(), file.size());
  return file.size();
}

