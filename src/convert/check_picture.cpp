// The check's report drawn as an SVG picture (see check.h): from the top,
// the song's name and what was found, a legend, two rows of marks for the
// misheard tempo and controller changes above the time axis, then one piano
// roll lane per channel with notes, high keys at the top.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "convert/check.h"
#include "convert/svg.h"

namespace tonvell {

namespace {

constexpr double kWidth = 1200;
constexpr double kLeft = 90;  // channel names
constexpr double kRight = 20;
constexpr double kLaneGap = 6;
constexpr double kSmallestLane = 16;  // room for the channel's name
constexpr double kRollKeys = 640;  // pixels for all lanes' keys together, before the limits below
constexpr double kLargestKey = 6, kSmallestKey = 2;

constexpr const char* kAsWritten = "#3b75af";
constexpr const char* kMoved = "#f28e2b";
constexpr const char* kMoveLine = "#a65300";
constexpr const char* kLost = "#d62728";
constexpr const char* kTempo = "#7b3294";
constexpr const char* kController = "#1b7837";
constexpr const char* kFont = "DejaVu Sans, Arial, Helvetica, sans-serif";

std::string seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", s);
  return text;
}

// The axis label at `s`: "12 s", or "1:05" in songs of a minute or more.
std::string axisLabel(double s, bool minutes) {
  const long whole = std::lround(s);
  char text[32];
  if (minutes)
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  else
    std::snprintf(text, sizeof text, "%s s", svgNumber(s, 1).c_str());
  return text;
}

double axisStep(double duration) {
  for (double step : {0.5, 1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1200.0, 1800.0})
    if (duration / step <= 14) return step;
  return 3600 * std::ceil(duration / 3600 / 14);
}

std::string noteName(int key) {
  static constexpr const char* kNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
  return kNames[key % 12] + std::to_string(key / 12 - 1);
}

struct Lane {
  int channel;
  int low, high;  // keys
  double top;
};

}  // namespace

std::string checkPicture(const CheckReport& report, std::string_view songName) {
  // The lanes and the time they cover.
  std::vector<Lane> lanes;
  double duration = std::max(report.seconds, 1.0);
  for (const CheckedNote& n : report.notes) {
    if (lanes.empty() || lanes.back().channel != n.channel) lanes.push_back({n.channel, n.key, n.key, 0});
    lanes.back().low = std::min(lanes.back().low, n.key);
    lanes.back().high = std::max(lanes.back().high, n.key);
    duration = std::max({duration, n.end, n.heardAt});
  }
  for (const MisheardChange& m : report.misheardChanges) duration = std::max(duration, m.seconds);
  int keys = 0;
  for (const Lane& l : lanes) keys += l.high - l.low + 1;
  const double keyHeight = std::clamp(kRollKeys / std::max(keys, 1), kSmallestKey, kLargestKey);

  const double plotWidth = kWidth - kLeft - kRight;
  auto x = [&](double s) { return kLeft + s / duration * plotWidth; };
  const double tempoRow = 122, controllerRow = 140, axis = 156, rollTop = axis + 8;
  double y = rollTop;
  for (Lane& l : lanes) {
    l.top = y;
    y += std::max((l.high - l.low + 1) * keyHeight, kSmallestLane) + kLaneGap;
  }
  const double height = std::max(y, rollTop + 30) + 34;

  SvgWriter svg(kWidth, height);
  svg.open("defs");
  svg.open("pattern", {{"id", "out-of-reach"}, {"width", "4"}, {"height", "4"},
                       {"patternUnits", "userSpaceOnUse"}, {"patternTransform", "rotate(45)"}});
  svg.element("rect", {{"width", "4"}, {"height", "4"}, {"fill", "#ffffff"}});
  svg.element("line", {{"x1", "0"}, {"y1", "0"}, {"x2", "0"}, {"y2", "4"}, {"stroke", "#444444"},
                       {"stroke-width", "2"}});
  svg.close();
  svg.close();
  svg.element("rect", {{"width", "100%"}, {"height", "100%"}, {"fill", "#ffffff"}});
  svg.open("g", {{"font-family", kFont}, {"font-size", "12"}, {"fill", "#222222"}});

  // The name and what was found.
  const ChannelCheck& t = report.total;
  svg.text("text", {{"x", "20"}, {"y", "30"}, {"font-size", "20"}, {"font-weight", "bold"}}, songName);
  std::string found;
  for (CheckProblem p : report.problems()) found += std::string(found.empty() ? "" : ", ") + problemName(p);
  if (report.clean())
    found = "nothing lost, moved or misheard" +
            (found.empty() ? "" : "; " + std::to_string(t.outOfReach) + " out of the handset's reach (" + found + ")");
  svg.text("text", {{"x", "20"}, {"y", "52"}},
           svgNumber(report.seconds) + " s, " + std::to_string(t.notes) + " notes, " +
               std::to_string(report.tempoChanges) + " tempo and " + std::to_string(t.controllerChanges) +
               " controller changes: " + found);

  // The legend.
  double lx = 20;
  const double ly = 72;
  auto legendText = [&](const std::string& label) {
    svg.text("text", {{"x", svgNumber(lx + 18)}, {"y", svgNumber(ly + 10)}}, label);
    lx += 18 + 7.0 * static_cast<double>(label.size()) + 22;
  };
  auto swatch = [&](const std::string& fill, const std::string& label) {
    svg.element("rect", {{"x", svgNumber(lx)}, {"y", svgNumber(ly)}, {"width", "14"}, {"height", "12"},
                         {"fill", fill}, {"stroke", "#444444"}, {"stroke-width", "0.5"}});
    legendText(label);
  };
  svg.open("g", {{"id", "legend"}});
  swatch(kAsWritten, "as written: " + std::to_string(t.asWritten()));
  swatch(kMoved, "moved, line to where it sounds: " + std::to_string(t.moved));
  swatch(kLost, "lost: " + std::to_string(t.lost));
  swatch("url(#out-of-reach)", "out of reach: " + std::to_string(t.outOfReach));
  lx = 20;
  const double ly2 = ly + 20;
  svg.element("path", {{"d", "M" + svgNumber(lx) + " " + svgNumber(ly2) + " h14 l-7 12 z"}, {"fill", kTempo}});
  svg.text("text", {{"x", svgNumber(lx + 18)}, {"y", svgNumber(ly2 + 10)}},
           "tempo misheard: " + std::to_string(report.tempoChangesMisheard) + " of " +
               std::to_string(report.tempoChanges));
  lx += 200;
  svg.element("path", {{"d", "M" + svgNumber(lx + 7) + " " + svgNumber(ly2) + " l6 6 l-6 6 l-6 -6 z"},
                       {"fill", kController}});
  svg.text("text", {{"x", svgNumber(lx + 18)}, {"y", svgNumber(ly2 + 10)}},
           "controller change misheard: " + std::to_string(t.misheard) + " of " +
               std::to_string(t.controllerChanges));
  svg.close();

  // The time axis, with the misheard changes above it.
  svg.text("text", {{"x", svgNumber(kLeft - 8)}, {"y", svgNumber(tempoRow + 4)}, {"text-anchor", "end"}}, "tempo");
  svg.text("text", {{"x", svgNumber(kLeft - 8)}, {"y", svgNumber(controllerRow + 4)}, {"text-anchor", "end"}},
           "controllers");
  svg.element("line", {{"x1", svgNumber(kLeft)}, {"y1", svgNumber(axis)}, {"x2", svgNumber(kWidth - kRight)},
                       {"y2", svgNumber(axis)}, {"stroke", "#222222"}});
  const double step = axisStep(duration);
  const bool minutes = duration >= 60;
  svg.open("g", {{"id", "axis"}, {"font-size", "10"}, {"text-anchor", "middle"}});
  for (double s = 0; s <= duration + 1e-9; s += step) {
    svg.element("line", {{"x1", svgNumber(x(s))}, {"y1", svgNumber(axis)}, {"x2", svgNumber(x(s))},
                         {"y2", svgNumber(y)}, {"stroke", "#dddddd"}});
    svg.text("text", {{"x", svgNumber(x(s))}, {"y", svgNumber(height - 14)}}, axisLabel(s, minutes));
  }
  svg.close();

  // The lanes.
  svg.open("g", {{"id", "lanes"}});
  for (std::size_t i = 0; i < lanes.size(); ++i) {
    const Lane& l = lanes[i];
    const double h = std::max((l.high - l.low + 1) * keyHeight, kSmallestLane);
    svg.element("rect", {{"x", svgNumber(kLeft)}, {"y", svgNumber(l.top)}, {"width", svgNumber(plotWidth)},
                         {"height", svgNumber(h)}, {"fill", i % 2 ? "#f4f4f4" : "#ebeef3"}});
    const std::string name = "ch " + std::to_string(l.channel) + (l.channel == 9 ? " drums" : "");
    svg.text("text", {{"x", svgNumber(kLeft - 8)}, {"y", svgNumber(l.top + std::min(h, 24.0) / 2 + 4)},
                      {"text-anchor", "end"}},
             name);
    if (h >= 30)
      svg.text("text", {{"x", svgNumber(kLeft - 8)}, {"y", svgNumber(l.top + h - 2)}, {"text-anchor", "end"},
                        {"font-size", "9"}, {"fill", "#666666"}},
               noteName(l.low) + "–" + noteName(l.high));
  }
  svg.close();

  // The notes: one rectangle each, filled by what became of it.
  std::size_t lane = 0;
  auto noteY = [&](const CheckedNote& n) {
    while (lanes[lane].channel != n.channel) ++lane;
    return lanes[lane].top + (lanes[lane].high - n.key) * keyHeight;
  };
  svg.open("g", {{"id", "notes"}, {"stroke", "#333333"}, {"stroke-width", "0.3"}});
  for (const CheckedNote& n : report.notes) {
    const double top = noteY(n);
    const std::string fill = n.fate == NoteFate::kAsWritten ? kAsWritten
                             : n.fate == NoteFate::kMoved   ? kMoved
                             : n.fate == NoteFate::kLost    ? kLost
                                                            : "url(#out-of-reach)";
    const std::string xs = svgNumber(x(n.start)), ys = svgNumber(top),
                      ws = svgNumber(std::max(x(n.end) - x(n.start), 1.5)),
                      hs = svgNumber(std::max(keyHeight - 0.5, 1.5));
    if (n.fate == NoteFate::kAsWritten) {
      svg.element("rect", {{"x", xs}, {"y", ys}, {"width", ws}, {"height", hs}, {"fill", fill}});
      continue;
    }
    std::string about = "ch " + std::to_string(n.channel) + " " + noteName(n.key) + " at " + seconds(n.start) + ": ";
    if (n.fate == NoteFate::kMoved)
      about += "heard at " + seconds(n.heardAt) + " (" + (n.heardAt < n.start ? "" : "+") +
               seconds(n.heardAt - n.start) + ")";
    else
      about += n.fate == NoteFate::kLost ? "lost" : "out of the handset's reach";
    svg.open("rect", {{"x", xs}, {"y", ys}, {"width", ws}, {"height", hs}, {"fill", fill}});
    svg.text("title", {}, about);
    svg.close();
  }
  svg.close();

  // Where the moved notes sound.
  lane = 0;
  svg.open("g", {{"id", "moves"}, {"stroke", kMoveLine}, {"fill", kMoveLine}});
  for (const CheckedNote& n : report.notes) {
    if (n.fate != NoteFate::kMoved) continue;
    const std::string cy = svgNumber(noteY(n) + keyHeight / 2);
    svg.element("line", {{"x1", svgNumber(x(n.start))}, {"y1", cy}, {"x2", svgNumber(x(n.heardAt))}, {"y2", cy},
                         {"stroke-width", "1"}});
    svg.element("circle", {{"cx", svgNumber(x(n.heardAt))}, {"cy", cy}, {"r", "1.8"}});
  }
  svg.close();

  // The misheard changes: a mark on their row and a dashed line down the roll.
  svg.open("g", {{"id", "misheard"}});
  for (const MisheardChange& m : report.misheardChanges) {
    const bool tempo = m.channel < 0;
    const double mx = x(m.seconds);
    const double row = tempo ? tempoRow : controllerRow;
    svg.element("line", {{"x1", svgNumber(mx)}, {"y1", svgNumber(row)}, {"x2", svgNumber(mx)}, {"y2", svgNumber(y)},
                         {"stroke", tempo ? kTempo : kController}, {"stroke-width", "0.6"},
                         {"stroke-dasharray", "3 3"}, {"opacity", "0.6"}});
    const std::string d = tempo ? "M" + svgNumber(mx - 6) + " " + svgNumber(row - 6) + " h12 l-6 10 z"
                                : "M" + svgNumber(mx) + " " + svgNumber(row - 6) + " l5 5 l-5 5 l-5 -5 z";
    svg.open("path", {{"d", d}, {"fill", tempo ? kTempo : kController}});
    std::string about = tempo ? "tempo at " + seconds(m.seconds) + ": " + svgNumber(m.written, 3) + "/min written, " +
                                    svgNumber(m.heard, 3) + "/min heard"
                              : "ch " + std::to_string(m.channel) + " " + m.what + " at " + seconds(m.seconds) +
                                    ": " + svgNumber(m.written, 0) + " written, " + svgNumber(m.heard, 0) + " heard";
    svg.text("title", {}, about);
    svg.close();
  }
  svg.close();
  if (lanes.empty())
    svg.text("text", {{"x", svgNumber(kLeft + 10)}, {"y", svgNumber(rollTop + 20)}}, "no notes");
  return svg.finish();
}

}  // namespace tonvell
