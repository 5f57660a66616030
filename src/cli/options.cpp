#include "cli/options.h"

#include <climits>
#include <cstdint>
#include <chrono>

namespace tonvell::cli {

namespace {

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leapYear(y) ? 29 : kDays[m - 1];
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<long long> parseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    value = value > (LLONG_MAX - digit) / 10 ? LLONG_MAX : value * 10 + digit;
  }
  return value;
}

std::optional<CalendarDate> parseDate(std::string_view text) {
  if (text.size() != 8) return std::nullopt;
  int v[8];
  for (std::size_t i = 0; i < 8; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    v[i] = text[i] - '0';
  }
  CalendarDate d;
  d.year = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
  d.month = v[4] * 10 + v[5];
  d.day = v[6] * 10 + v[7];
  if (d.year < 1 || d.month < 1 || d.month > 12 || d.day < 1 || d.day > daysInMonth(d.year, d.month))
    return std::nullopt;
  return d;
}

std::optional<CalendarDate> dateFromEpoch(std::string_view seconds) {
  if (seconds.empty() || seconds.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : seconds) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  // The UTC calendar date of that second; the last one taken is the last
  // second of the year 9999.
  namespace chrono = std::chrono;
  constexpr chrono::sys_days kLastDay{chrono::year{9999} / chrono::December / 31};
  constexpr std::int64_t kLastSecond = chrono::sys_seconds{kLastDay}.time_since_epoch().count() + 86399;
  if (value > kLastSecond) return std::nullopt;
  const chrono::year_month_day day{chrono::floor<chrono::days>(chrono::sys_seconds{chrono::seconds{value}})};
  return CalendarDate{static_cast<int>(day.year()), static_cast<int>(static_cast<unsigned>(day.month())),
                      static_cast<int>(static_cast<unsigned>(day.day()))};
}

std::vector<std::string> splitListLines(std::string_view text) {
  std::vector<std::string> lines;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    if (lf == std::string_view::npos) {
      lines.emplace_back(text);
      break;
    }
    lines.emplace_back(text.substr(0, lf));
    text.remove_prefix(lf + 1);
  }
  return lines;
}

OverwriteAnswer parseOverwriteAnswer(std::string_view answer) {
  const std::string_view a = trimmed(answer);
  if (a == "y" || a == "Y" || a == "yes" || a == "是") return OverwriteAnswer::kYes;
  if (a == "a" || a == "A" || a == "all" || a == "全部覆盖") return OverwriteAnswer::kOverwriteAll;
  if (a == "s" || a == "S" || a == "skip" || a == "跳过" || a == "n" || a == "N" || a == "no")
    return OverwriteAnswer::kSkip;
  return OverwriteAnswer::kNone;
}

int countTakenLines(const std::vector<std::string>& lines) {
  int n = 0;
  for (const std::string& line : lines)
    if (cutLine(line) > 0) ++n;
  return n;
}

}  // namespace tonvell::cli
