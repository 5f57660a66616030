// A MIDI track built from events at absolute ticks, for tests that place
// events in time rather than by deltas.
#pragma once

#include <cstdint>
#include <vector>

#include "support/test_support.h"

namespace tonvell::test {

// One event (status onwards) at its absolute tick.
struct At {
  std::uint32_t tick;
  Bytes bytes;
};

// "MTrk" with `events` (in tick order) and an end of track at `end`.
inline Bytes timedTrack(const std::vector<At>& events, std::uint32_t end) {
  Bytes body;
  std::uint32_t now = 0;
  for (const At& e : events) {
    const Bytes d = varLen(e.tick - now);
    body.insert(body.end(), d.begin(), d.end());
    body.insert(body.end(), e.bytes.begin(), e.bytes.end());
    now = e.tick;
  }
  const Bytes d = varLen(end - now);
  body.insert(body.end(), d.begin(), d.end());
  body.insert(body.end(), {0xFF, 0x2F, 0x00});
  return track(body);
}

}  // namespace tonvell::test
