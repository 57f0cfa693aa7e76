// Runs the container benchmarks, then prints each figure as a ratio against its peer measured
// in the same run: MD5 against OpenSSL, ParseFile against md5sum, and the peak memory of the
// 24 MiB case against the 1 MiB case. Ratios use each benchmark's best repetition, which on a
// busy machine is the one least disturbed by other work.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "benchmark/benchmark.h"

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so saved output stays plain text.
  RatioReporter() : ConsoleReporter(::isatty(1) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // With --benchmark_report_aggregates_only only the aggregates arrive: use the median.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      const std::string name = median ? run.run_name.str() : run.benchmark_name();
      const double time = run.GetAdjustedRealTime();
      auto found = best_time_.find(name);
      best_time_[name] = found == best_time_.end() ? time : std::min(found->second, time);
      const auto counter = run.counters.find("peak_rss_KiB");
      if (counter != run.counters.end()) peak_[name] = counter->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\nRatios (same run):\n");
    Ratio("md5_append vs OpenSSL MD5, 1 KiB chunks (throughput, >= 1.0 wanted)",
          "BM_OpenSslMd5/1024", "BM_Md5Append/1024");
    Ratio("md5_append vs OpenSSL MD5, 64 KiB chunks (throughput, >= 1.0 wanted)",
          "BM_OpenSslMd5/65536", "BM_Md5Append/65536");
    Ratio("ParseFile 24 MiB vs md5sum (time, <= 1.15 wanted)", "BM_ParseFile/25165824",
          "BM_Md5sum/25165824");
    Ratio("ParseFile 24 MiB vs read() + md5_append in 1 KiB reads (time)", "BM_ParseFile/25165824",
          "BM_ReadAndHash/25165824/1024");
    Ratio("read() + md5_append: 1 KiB vs 64 KiB reads (time)", "BM_ReadAndHash/25165824/1024",
          "BM_ReadAndHash/25165824/65536");
    const auto small = peak_.find("BM_PeakMemory/1048576/iterations:5");
    const auto large = peak_.find("BM_PeakMemory/25165824/iterations:5");
    if (small != peak_.end() && large != peak_.end()) {
      std::printf("  %-72s %.0f KiB vs %.0f KiB: difference %+.0f KiB\n",
                  "peak RSS, parse + extract 24 MiB vs 1 MiB (within 64 KiB wanted)", large->second,
                  small->second, large->second - small->second);
    }
  }

 private:
  // Prints numerator / denominator of the two best times.
  void Ratio(const char* what, const std::string& numerator, const std::string& denominator) const {
    const auto top = best_time_.find(numerator);
    const auto bottom = best_time_.find(denominator);
    if (top == best_time_.end() || bottom == best_time_.end()) return;
    std::printf("  %-72s %.3f\n", what, top->second / bottom->second);
  }

  std::map<std::string, double> best_time_;
  std::map<std::string, double> peak_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
