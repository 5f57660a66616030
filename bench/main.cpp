// The benchmark program: the usual console report, then for each benchmark
// run over inputs of several sizes (its argument) the exponent k of
// time ~ size^k, fitted by least squares on log time against log size, over
// all sizes and over those of 64 Ki and more, and the steepest step between
// neighbouring sizes. k near 1 is linear: doubling the input doubles the
// time; k near 0 is a cost that does not grow.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

class ExponentReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal.
  ExponentReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      if (run.error_occurred || run.run_name.args.empty()) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      // The argument is the input's size (bytes, or notes: proportional).
      Point& p = points_[run.run_name.function_name][run.run_name.args];
      p.size = std::strtod(run.run_name.args.c_str(), nullptr);
      const double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      if (median)
        p.median = seconds;
      else
        p.times.push_back(seconds);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    char line[160];
    std::snprintf(line, sizeof line, "\n%-20s %6s %10s %10s %14s\n", "time ~ size^k", "sizes", "k", "k (>=64Ki)", "steepest step");
    out << line;
    for (const auto& [name, bySize] : points_) {
      // One point per size: the median of its repetitions.
      std::vector<Point> points;
      for (const auto& [args, p] : bySize) {
        std::vector<double> t = p.times;
        std::sort(t.begin(), t.end());
        const std::size_t n = t.size();
        if (p.median > 0)
          points.push_back({p.size, p.median, {}, 0});
        else if (n > 0)
          points.push_back({p.size, n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2, {}, 0});
      }
      std::sort(points.begin(), points.end(), [](const Point& a, const Point& b) { return a.size < b.size; });
      if (points.size() < 3) continue;
      double steepest = 0;
      for (std::size_t i = 1; i < points.size(); ++i) {
        const double k = std::log(points[i].seconds / points[i - 1].seconds) / std::log(points[i].size / points[i - 1].size);
        if (k > steepest) steepest = k;
      }
      std::snprintf(line, sizeof line, "%-20s %6zu %10.3f %10.3f %14.3f\n", name.c_str(), points.size(), fit(points, 0),
                    fit(points, 65536), steepest);
      out << line;
    }
  }

 private:
  struct Point {
    double size = 0;
    double seconds = 0;
    std::vector<double> times;  // per repetition
    double median = 0;          // the repetitions' median, when only that is reported
  };
  // Slope of log time on log size over the points of at least `minSize` bytes.
  static double fit(const std::vector<Point>& points, double minSize) {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Point& p : points) {
      if (p.size < minSize) continue;
      const double x = std::log(p.size), y = std::log(p.seconds);
      n += 1;
      sx += x;
      sy += y;
      sxx += x * x;
      sxy += x * y;
    }
    const double d = n * sxx - sx * sx;
    return n < 2 || d == 0 ? NAN : (n * sxy - sx * sy) / d;
  }
  std::map<std::string, std::map<std::string, Point>> points_;  // by benchmark, then by size argument
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ExponentReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
