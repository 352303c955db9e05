// The main of a benchmark that compares one way of moving data with a baseline: it
// runs the registered benchmarks, keeps each run's bytes per second, and prints the
// ratio measured / baseline for each read size.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace pxbench {

class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates[run.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
};

// `measured` and `baseline` are benchmark names registered with ->Arg(size)->UseRealTime().
inline int RunAndPrintRatios(int argc, char** argv, const std::string& measured,
                             const std::string& baseline) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* size : {"512", "65536"}) {
    double base = reporter.rates[baseline + "/" + size + "/real_time"];
    double rate = reporter.rates[measured + "/" + size + "/real_time"];
    if (base > 0) {
      std::printf("read size %6s: %s %.1f MB/s, %s %.1f MB/s, ratio %.3f\n", size, measured.c_str(),
                  rate / 1e6, baseline.c_str(), base / 1e6, rate / base);
    }
  }
  return 0;
}

}  // namespace pxbench
