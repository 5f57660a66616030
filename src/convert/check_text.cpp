#include "convert/check_text.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace tonvell {

namespace {

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n > 0) {
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format, copy);
    out.resize(at + static_cast<std::size_t>(n));
  }
  va_end(copy);
}

void appendRow(std::string& out, const char* label, const ChannelCheck& c) {
  appendf(out, "%5s %6d %6d %6d %8.1f %6d %6d %8d %9d\n", label, c.notes, c.kept, c.moved, c.largestShiftMs,
          c.outOfReach, c.lost, c.controllerChanges, c.misheard);
}

nlohmann::ordered_json channelJson(const ChannelCheck& c) {
  nlohmann::ordered_json j;
  if (c.channel >= 0) j["channel"] = c.channel;
  j["notes"] = c.notes;
  j["kept"] = c.kept;
  j["asWritten"] = c.asWritten();
  j["moved"] = c.moved;
  j["largestShiftMs"] = std::round(c.largestShiftMs * 10) / 10;
  j["largestShift"] = {{"seconds", std::round(c.largestShiftSeconds * 10000) / 10000},
                       {"at", std::round(c.largestShiftAt * 1000) / 1000}};
  j["outOfReach"] = {{"count", c.outOfReach},
                     {"drumKeysOutsideKit", c.outOfReachDrums},
                     {"keysOutOfRange", c.outOfReach - c.outOfReachDrums},
                     {"atAnotherKey", c.outOfReachOtherKey},
                     {"dropped", c.outOfReachDropped}};
  j["lost"] = {{"count", c.lost}, {"atAnotherKey", c.lostOtherKey}, {"dropped", c.lost - c.lostOtherKey}};
  j["controllerChanges"] = c.controllerChanges;
  j["misheard"] = c.misheard;
  return j;
}

}  // namespace

std::string checkReportText(std::string_view file, const CheckReport& r) {
  std::string out;
  appendf(out, "%.*s: %zu bytes, %.2f s, at most %d notes at once (tracks %d %d %d %d)\n",
          static_cast<int>(file.size()), file.data(), r.outputBytes, r.seconds, r.polyphony, r.trackPolyphony[0],
          r.trackPolyphony[1], r.trackPolyphony[2], r.trackPolyphony[3]);
  out += "   ch  notes   kept  moved   max ms  reach   lost  changes  misheard\n";
  for (const ChannelCheck& c : r.channels) appendRow(out, std::to_string(c.channel).c_str(), c);
  appendRow(out, "all", r.total);
  const ChannelCheck& t = r.total;
  if (t.outOfReach > 0)
    appendf(out, "  out of reach: %d (drum keys outside the kit %d, keys out of range %d; %d at another key, %d dropped)\n",
            t.outOfReach, t.outOfReachDrums, t.outOfReach - t.outOfReachDrums, t.outOfReachOtherKey,
            t.outOfReachDropped);
  if (t.lost > 0)
    appendf(out, "  lost: %d (%d at another key, %d dropped)\n", t.lost, t.lostOtherKey, t.lost - t.lostOtherKey);
  if (t.moved > 0)
    appendf(out, "  moved: %d, the furthest %.3f s %s at %.3f s\n", t.moved, std::abs(t.largestShiftSeconds),
            t.largestShiftSeconds < 0 ? "early" : "late", t.largestShiftAt);
  appendf(out, "  tempo changes: %d, misheard %d\n", r.tempoChanges, r.tempoChangesMisheard);
  if (r.skippedEvents > 0) appendf(out, "  events no player agrees on: %d\n", r.skippedEvents);
  if (!r.clean()) {
    std::string found;
    for (CheckProblem p : r.problems()) found += std::string(found.empty() ? "" : ", ") + problemName(p);
    out += "  found: " + found + "\n";
  } else if (t.outOfReach > 0) {
    appendf(out, "  nothing lost, moved or misheard; %d %s out of the handset's reach, which no conversion can play\n",
            t.outOfReach, t.outOfReach == 1 ? "note" : "notes");
  } else {
    out += "  nothing lost, moved or misheard\n";
  }
  return out;
}

std::string checkReportJson(std::string_view file, const CheckReport& r) {
  nlohmann::ordered_json j;
  j["file"] = file;
  j["ok"] = r.ok;
  if (r.ok) {
    j["clean"] = r.clean();
    j["problems"] = nlohmann::ordered_json::array();
    for (CheckProblem p : r.problems()) j["problems"].push_back(problemId(p));
    j["bytes"] = r.outputBytes;
    j["seconds"] = std::round(r.seconds * 1000) / 1000;
    j["skippedEvents"] = r.skippedEvents;
    j["polyphony"] = {{"song", r.polyphony}, {"tracks", r.trackPolyphony}};
    j["tempoChanges"] = {{"count", r.tempoChanges}, {"misheard", r.tempoChangesMisheard}};
    j["channels"] = nlohmann::ordered_json::array();
    for (const ChannelCheck& c : r.channels) j["channels"].push_back(channelJson(c));
    j["total"] = channelJson(r.total);
  } else {
    j["error"] = r.error;
  }
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tonvell
