// The rows of the bench/run table, shared by the benchmark programs.
//
// Each row compares one piece of the service's work with a baseline measured in the same run: the
// median of each over the repetitions, and their ratio (ours / baseline) against the target ratio.
// A program prints its rows at the end of its output and, when $SKELVANE_BENCH_TABLE names a file,
// appends them there as tab-separated fields for bench/run:
//   work <TAB> baseline <TAB> ours <TAB> baseline value <TAB> unit <TAB> target <TAB> clock
// A row without a baseline (a plain limit, such as resident memory) has "-" as baseline and the
// limit as its target; its ratio column is then the value over the limit. Notes (Note()) go to
// $SKELVANE_BENCH_NOTES the same way, one line each.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace benchtable {

struct Row {
  std::string work;
  std::string baseline;
  double ours = 0;
  double base = 0;  // 0 for a row without a baseline
  std::string unit;
  double target = 0;
  std::string clock;  // which time the figures are: "cpu", "wall", or "-" for sizes
};

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline void Emit(const std::vector<Row>& rows) {
  std::printf("\n%-44s %-44s %12s %12s %-4s %7s %7s\n", "work", "baseline", "ours", "baseline",
              "unit", "ratio", "target");
  FILE* out = nullptr;
  if (const char* path = std::getenv("SKELVANE_BENCH_TABLE"); path != nullptr && *path != '\0') {
    out = std::fopen(path, "a");
  }
  for (const Row& r : rows) {
    const double ratio = r.base > 0 ? r.ours / r.base : r.ours / r.target;
    std::printf("%-44s %-44s %12.4g %12.4g %-4s %7.2f %7.2f\n", r.work.c_str(), r.baseline.c_str(),
                r.ours, r.base, r.unit.c_str(), ratio, r.target);
    if (out != nullptr) {
      std::fprintf(out, "%s\t%s\t%.6g\t%.6g\t%s\t%.6g\t%s\n", r.work.c_str(), r.baseline.c_str(),
                   r.ours, r.base, r.unit.c_str(), r.target, r.clock.c_str());
    }
  }
  if (out != nullptr) std::fclose(out);
}

// A line that explains the table (how a figure was taken, what it is made of), printed now and,
// when $SKELVANE_BENCH_NOTES names a file, appended there for bench/run to print under the table.
inline void Note(const std::string& text) {
  std::printf("note: %s\n", text.c_str());
  if (const char* path = std::getenv("SKELVANE_BENCH_NOTES"); path != nullptr && *path != '\0') {
    if (FILE* out = std::fopen(path, "a")) {
      std::fprintf(out, "%s\n", text.c_str());
      std::fclose(out);
    }
  }
}

// Console output of the aggregates only, while keeping every repetition's time per iteration, so
// that the medians are taken over the repetitions whatever the library's aggregate conventions.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && r.iterations > 0 && !r.error_occurred) {
        const double n = static_cast<double>(r.iterations);
        cpu_[r.run_name.function_name].push_back(r.cpu_accumulated_time / n);
        real_[r.run_name.function_name].push_back(r.real_accumulated_time / n);
      } else {
        shown.push_back(r);
      }
    }
    // Without repetitions there are no aggregates: show the single run.
    ConsoleReporter::ReportRuns(shown.empty() ? runs : shown);
  }

  // Median seconds per iteration of a benchmark (its function name), CPU or wall clock.
  double Cpu(const std::string& name) const { return Get(cpu_, name); }
  double Real(const std::string& name) const { return Get(real_, name); }

 private:
  static double Get(const std::map<std::string, std::vector<double>>& m, const std::string& name) {
    auto it = m.find(name);
    return it == m.end() ? 0 : Median(it->second);
  }

  std::map<std::string, std::vector<double>> cpu_;
  std::map<std::string, std::vector<double>> real_;
};

}  // namespace benchtable
