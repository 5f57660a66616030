#include "mfi/lookahead.h"

#include <algorithm>
#include <new>

#include "smf/reader.h"

namespace tonvell {

namespace {

// One event as the look-ahead reads it (findNoteDurationByScan).
struct ScannedEvent {
  std::int32_t delta = 0;
  int status = 0;            // the event's status
  int bodyPos = 0;           // read position after the status byte, if any
  bool ownStatus = false;    // the event carries its status byte
  int endsKey = -1;          // a note-off or silent note-on of the channel: its key
  int soundingKey = -1;      // a note-on of the channel with a velocity: its key
};

// Reads the event at readPos with `status` in force and leaves readPos after
// it. With `sysexEnds` (per byte from `begin`: the position after the first
// 0xF7 from there, or readEnd) a system-exclusive body is skipped in one step.
ScannedEvent scanEvent(ConversionWorkspace& ws, int status, const std::int32_t* sysexEnds, int begin) {
  ScannedEvent e;
  e.delta = readVarLen(ws);
  e.ownStatus = peekByte(ws) >= 0x80;
  e.status = e.ownStatus ? readByte(ws) : status;
  e.bodyPos = ws.readPos;
  const int s = e.status;
  if (s == 0xF0) {
    if (sysexEnds == nullptr) {
      skipToSysexEnd(ws);
    } else if (ws.readPos < ws.readEnd) {
      ws.readPos = sysexEnds[ws.readPos - begin];
    }
  } else if (s >= 0xF1) {
    skipEventBody(ws, s, kLookAheadReading);
  } else {
    const int key = readByte(ws);
    const int kind = s & 0xF0;
    const bool ours = (s & 0x0F) == ws.currentChannel;
    if (kind == 0x80) {
      readByte(ws);
      if (ours) e.endsKey = key;
    } else if (kind == 0x90) {
      const int velocity = readByte(ws);
      if (ours) (velocity == 0 ? e.endsKey : e.soundingKey) = key;
    } else if (kind == 0xA0 || kind == 0xB0 || kind == 0xE0) {
      readByte(ws);
    }
  }
  return e;
}

// Where the translation (translateEvent) ends the same event, readPos being
// where the look-ahead ended it. They differ only in two places: the
// translation reads a manufacturer id after 0xF0, and always three bytes of
// a tempo meta event whatever its length says.
int translationEnd(ConversionWorkspace& ws, const ScannedEvent& e) {
  if (e.status != 0xF0 && e.status != 0xFF) return ws.readPos;
  const int scanned = ws.readPos;
  ws.readPos = e.bodyPos;
  skipEventBody(ws, e.status, kTranslationReading);
  const int end = ws.readPos;
  ws.readPos = scanned;
  return end;
}

}  // namespace

bool lookAheadReadsAlike(ConversionWorkspace& ws, int status, int* endsKey, int* soundingKey) {
  const int pos = ws.readPos;
  const ScannedEvent e = scanEvent(ws, status, nullptr, 0);
  const bool alike = translationEnd(ws, e) == ws.readPos;
  ws.readPos = pos;
  *endsKey = e.endsKey;
  *soundingKey = e.soundingKey;
  return alike;
}

bool NoteEndFinder::reserve(ConversionWorkspace& ws, int streamLength) {
  try {
    // A note-on takes at least three bytes.
    const auto notes = static_cast<std::size_t>(streamLength) / 3 + 1;
    ws.noteLengths.reserve(notes);
    pendingNext_.reserve(notes);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool NoteEndFinder::findNoteLengths(ConversionWorkspace& ws) {
  const int begin = ws.readPos;
  bool ok = true;
  try {
    if (!pairAlongTranslation(ws)) {
      ws.readPos = begin;
      ws.noteLengths.clear();
      states_.clear();
      departures_.clear();
      // Every event but a stream's last takes at least two bytes.
      states_.reserve(static_cast<std::size_t>(ws.readEnd - begin) / 2 + 2);
      walkTranslation(ws);
      followDepartures(ws, begin);
      answerNotes(ws);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  ws.nextNoteLength = 0;
  ws.readPos = begin;
  return ok;
}

// The usual case: the look-ahead reads every event as the translation does,
// so one walk along the stream pairs each note-on with the first event after
// it that ends its key. Meanwhile a pending note's entry holds the ticks up
// to its note-on. False, with the lengths unfinished, at the first event the
// two read differently.
bool NoteEndFinder::pairAlongTranslation(ConversionWorkspace& ws) {
  ws.noteLengths.clear();
  pendingNext_.clear();
  std::int32_t pending[256];
  std::fill(std::begin(pending), std::end(pending), -1);
  const int end = ws.readEnd;
  const std::uint8_t* const bytes = ws.readBase;
  const int channel = ws.currentChannel;
  int status = ws.runningStatus & 0xFF;
  std::int64_t ticks = 0;
  int pos = ws.readPos;
  while (pos < end) {
    int endsKey = -1;
    int soundingKey = -1;
    int p = pos;
    int s = status;
    std::int32_t delta = 0;
    bool done = false;
    if (end - p >= 8) {
      // Room for the longest channel message (a four-byte delta, the status
      // and two data bytes): read it in place, as scanEvent would.
      delta = readVarLenAt(bytes, &p);
      if (bytes[p] >= 0x80) s = bytes[p++];
      if (s < 0xF0) {
        const int key = bytes[p++];
        const int kind = s & 0xF0;
        const bool ours = (s & 0x0F) == channel;
        if (kind != 0xC0 && kind != 0xD0) {
          const int second = bytes[p++];
          if (ours && kind == 0x80) endsKey = key;
          if (ours && kind == 0x90) (second == 0 ? endsKey : soundingKey) = key;
        }
        pos = p;
        done = true;
      }
    }
    if (!done) {
      ws.readPos = pos;
      const ScannedEvent e = scanEvent(ws, status, nullptr, 0);
      if (translationEnd(ws, e) != ws.readPos) return false;
      pos = ws.readPos;
      s = e.status;
      delta = e.delta;
      endsKey = e.endsKey;
      soundingKey = e.soundingKey;
    }
    status = s;
    ticks += delta;
    if (endsKey >= 0) {
      for (std::int32_t n = pending[endsKey]; n >= 0; n = pendingNext_[static_cast<std::size_t>(n)]) {
        std::int64_t& length = ws.noteLengths[static_cast<std::size_t>(n)];
        length = ticks - length;
      }
      pending[endsKey] = -1;
    } else if (soundingKey >= 0) {
      const auto n = static_cast<std::int32_t>(ws.noteLengths.size());
      ws.noteLengths.push_back(ticks);
      pendingNext_.push_back(pending[soundingKey]);
      pending[soundingKey] = n;
    }
  }
  // Notes still pending never end.
  for (const std::int32_t first : pending) {
    for (std::int32_t n = first; n >= 0; n = pendingNext_[static_cast<std::size_t>(n)])
      ws.noteLengths[static_cast<std::size_t>(n)] = -1;
  }
  return true;
}

// The translation's events: each becomes a state; a sounding note-on's
// look-ahead starts at the state after it.
void NoteEndFinder::walkTranslation(ConversionWorkspace& ws) {
  const int end = ws.readEnd;
  int status = ws.runningStatus & 0xFF;
  std::int32_t note = -1;
  std::int16_t noteKey = 0;
  while (ws.readPos < end) {
    const int pos = ws.readPos;
    const ScannedEvent e = scanEvent(ws, status, nullptr, 0);
    const int scanned = ws.readPos;
    const int translated = translationEnd(ws, e);
    const auto index = static_cast<std::int32_t>(states_.size());
    State st;
    st.ticksToEnd = 0;
    st.pos = pos;
    st.delta = e.delta;
    st.next = translated < end ? index + 1 : -1;
    st.link = -1;
    st.firstChild = -1;
    st.nextSibling = -1;
    st.note = note;
    st.status = static_cast<std::int16_t>(e.ownStatus ? kOwnStatus : status);
    st.endsKey = static_cast<std::int16_t>(e.endsKey);
    st.noteKey = noteKey;
    if (scanned != translated) {
      st.next = -1;
      departures_.push_back(Departure{index, scanned, static_cast<std::int16_t>(e.status)});
    }
    states_.push_back(st);
    note = -1;
    if (e.soundingKey >= 0) {
      // A note-on at the stream's end finds nothing.
      if (translated < end) {
        note = static_cast<std::int32_t>(ws.noteLengths.size());
        noteKey = static_cast<std::int16_t>(e.soundingKey);
      }
      ws.noteLengths.push_back(-1);
    }
    ws.readPos = translated;
    status = e.status;
  }
}

// The look-ahead's own states after each departure, until they reach a
// state already known or the stream's end. Each state is read once.
void NoteEndFinder::followDepartures(ConversionWorkspace& ws, int begin) {
  const int end = ws.readEnd;
  const auto span = static_cast<std::size_t>(end - begin);
  firstAt_.assign(span, -1);
  for (std::size_t i = 0; i < states_.size(); ++i) firstAt_[static_cast<std::size_t>(states_[i].pos - begin)] = static_cast<std::int32_t>(i);
  // A system-exclusive body may be read from many positions inside it.
  sysexEnds_.resize(span);
  std::int32_t after = end;
  for (int p = end - 1; p >= begin; --p) {
    if (ws.readBase[p] == 0xF7) after = p + 1;
    sysexEnds_[static_cast<std::size_t>(p - begin)] = after;
  }

  for (std::size_t d = 0; d < departures_.size(); ++d) {
    std::int32_t from = departures_[d].from;
    int pos = departures_[d].pos;
    int status = departures_[d].status;
    while (pos < end) {
      // States at one position differ only in the status in force, and only
      // when the event there carries none of its own.
      ws.readPos = pos;
      readVarLen(ws);
      const int inForce = peekByte(ws) >= 0x80 ? kOwnStatus : status;
      std::int32_t known = firstAt_[static_cast<std::size_t>(pos - begin)];
      while (known >= 0 && states_[static_cast<std::size_t>(known)].status != inForce)
        known = states_[static_cast<std::size_t>(known)].link;
      if (known >= 0) {
        states_[static_cast<std::size_t>(from)].next = known;
        break;
      }
      ws.readPos = pos;
      const ScannedEvent e = scanEvent(ws, status, sysexEnds_.data(), begin);
      const auto index = static_cast<std::int32_t>(states_.size());
      State st;
      st.ticksToEnd = 0;
      st.pos = pos;
      st.delta = e.delta;
      st.next = -1;
      st.link = firstAt_[static_cast<std::size_t>(pos - begin)];
      st.firstChild = -1;
      st.nextSibling = -1;
      st.note = -1;
      st.status = static_cast<std::int16_t>(inForce);
      st.endsKey = static_cast<std::int16_t>(e.endsKey);
      st.noteKey = 0;
      states_.push_back(st);
      firstAt_[static_cast<std::size_t>(pos - begin)] = index;
      states_[static_cast<std::size_t>(from)].next = index;
      from = index;
      pos = ws.readPos;
      status = e.status;
    }
  }
}

// Walks each tree from its root (a state whose event is the last its
// look-ahead reads) towards the leaves. On the way down, the stack of each
// key holds the states on the path back to the root that end that key, the
// nearest on top: a note whose look-ahead starts at the state in hand ends at
// the top of its key's stack.
void NoteEndFinder::answerNotes(ConversionWorkspace& ws) {
  const auto count = static_cast<std::int32_t>(states_.size());
  for (std::int32_t i = count - 1; i >= 0; --i) {
    const std::int32_t next = states_[static_cast<std::size_t>(i)].next;
    if (next < 0) continue;
    states_[static_cast<std::size_t>(i)].nextSibling = states_[static_cast<std::size_t>(next)].firstChild;
    states_[static_cast<std::size_t>(next)].firstChild = i;
  }

  std::int32_t top[256];
  std::fill(std::begin(top), std::end(top), -1);
  State* const s = states_.data();
  auto enter = [&](std::int32_t v) {
    State& st = s[v];
    st.ticksToEnd = st.delta + (st.next >= 0 ? s[st.next].ticksToEnd : 0);
    if (st.endsKey >= 0) {
      st.link = top[st.endsKey];
      top[st.endsKey] = v;
    }
    if (st.note >= 0) {
      const std::int32_t w = top[st.noteKey];
      // From this state's delta to the ending event's, both included.
      ws.noteLengths[static_cast<std::size_t>(st.note)] = w < 0 ? -1 : st.ticksToEnd - s[w].ticksToEnd + s[w].delta;
    }
  };
  auto leave = [&](std::int32_t v) {
    if (s[v].endsKey >= 0) top[s[v].endsKey] = s[v].link;
  };

  for (std::int32_t root = 0; root < count; ++root) {
    if (s[root].next >= 0) continue;
    std::int32_t v = root;
    enter(v);
    for (;;) {
      if (s[v].firstChild >= 0) {
        v = s[v].firstChild;
        enter(v);
        continue;
      }
      // Leave v and every state above it whose children are all done.
      for (;;) {
        leave(v);
        if (v == root) break;
        if (s[v].nextSibling >= 0) {
          v = s[v].nextSibling;
          enter(v);
          break;
        }
        v = s[v].next;
      }
      if (v == root) break;
    }
  }
}

}  // namespace tonvell
