// What appending one hex line to a memo costs when the memo holds 1 KB of text and
// when it holds 1 MB (the terminal's hex box after a long session), on the simulated
// machine's user32. The cost must not grow with the text: the ratio 1 MB / 1 KB is
// printed at the end and should stay near 1.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "framework/forms.h"
#include "platform/sim/machine.h"

namespace {

constexpr int kLinesPerFill = 1000;  // the memo is filled again after this many lines

void AddLine(benchmark::State& state) {
  sim::SimMachine machine;
  TOwned<TApplication> app = MakeComponent<TApplication>(nullptr);
  TOwned<TForm> form = MakeComponent<TForm>(nullptr);
  auto* memo = new TMemo(form.get());
  memo->SetParent(form.get());
  std::string line;
  std::string fill;
  while (fill.size() < static_cast<size_t>(state.range(0))) fill += "48 65 6C 6C 6F 20 77 6F 72 6C 64 \r\n";
  memo->SetText(fill);
  const std::string hex = "68 65 6C 6C 6F ";
  int lines = 0;
  for (auto _ : state) {
    memo->Lines().Add(hex);
    if (++lines == kLinesPerFill) {
      state.PauseTiming();
      memo->SetText(fill);
      lines = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(AddLine)->Arg(1 << 10)->Arg(1 << 20)->UseRealTime();

class CostReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) nanoseconds[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  std::map<std::string, double> nanoseconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  CostReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double small = reporter.nanoseconds["AddLine/1024/real_time"];
  double large = reporter.nanoseconds["AddLine/1048576/real_time"];
  if (small > 0) {
    std::printf("one line: %.0f ns with 1 KB in the memo, %.0f ns with 1 MB, ratio %.2f\n", small, large,
                large / small);
  }
  return 0;
}
