// One enumeration plus its full report on generated device trees: 0, 1, 4 and
// 16 units among 50, 500 and 5,000 other USB devices. Reports
// configuration-manager calls per enumeration alongside the time.
#include <benchmark/benchmark.h>

#include <string>

#include "sim/generated_tree.h"
#include "sim/sim_control.h"
#include "units/unit_list.h"

namespace {

void BM_Enumeration(benchmark::State& state) {
  const int units = static_cast<int>(state.range(0));
  const int others = static_cast<int>(state.range(1));
  std::string error;
  if (!kq::sim::loadTreeText(kq::sim::generatedTree(units, others), "generated", &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  kq::sim::resetCallCounts();
  size_t lines = 0;
  for (auto _ : state) {
    const kq::UnitList list(true, true);
    const kq::ReportList report = list.fullReport();
    lines = report.size();
    benchmark::DoNotOptimize(lines);
  }
  const kq::sim::CallCounts calls = kq::sim::callCounts();
  const double n = static_cast<double>(state.iterations());
  state.counters["units"] = units;
  state.counters["lines"] = static_cast<double>(lines);
  state.counters["cm_calls"] = calls.total() / n;
  state.counters["locate"] = calls.locate / n;
  state.counters["property"] = calls.property / n;
  state.counters["id_list"] = (calls.listSize + calls.list) / n;
  if (lines != static_cast<size_t>(units == 0 ? 1 : 7 * units))
    state.SkipWithError("unexpected report size");
}

BENCHMARK(BM_Enumeration)
    ->ArgsProduct({{0, 1, 4, 16}, {50, 500, 5000}})
    ->ArgNames({"units", "others"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
