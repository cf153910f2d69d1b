// One enumeration plus its full report on generated device trees: 1, 4 and 16
// units among 50 and 500 other USB devices. Reports configuration-manager
// calls per enumeration alongside the time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "sim/sim_control.h"
#include "units/unit_list.h"

namespace {

std::string hex4(int n) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", n & 0xFFFF);
  return buf;
}

// One complete unit under its own hub, Windows 8 layout.
std::string unitLines(int n) {
  const std::string s = std::to_string(10000 + n);
  const std::string h = hex4(n);
  return "  USB\\VID_05E3&PID_0608\\5&" + h + "&0&1 desc=\"Generic USB Hub\"\n"
         "    USB\\VID_0483&PID_A1DF\\2051" + s + " desc=\"USB Composite Device\"\n"
         "      USB\\VID_0483&PID_A1DF&MI_00\\7&" + h + "&0&0000 class=ports desc=\"KQ-6200 WinKey\" friendly=\"KQ-6200 WinKey (COM" + std::to_string(20 + 4 * n) + ")\"\n"
         "      USB\\VID_0483&PID_A1DF&MI_02\\7&" + h + "&0&0002 class=ports desc=\"KQ-6200 FSK\" friendly=\"KQ-6200 FSK (COM" + std::to_string(21 + 4 * n) + ")\"\n"
         "    USB\\VID_0403&PID_6010\\KQ6" + s + " desc=\"USB Composite Device\"\n"
         "      USB\\VID_0403&PID_6010&MI_00\\7&" + h + "&1&0000 desc=\"USB Serial Converter A\"\n"
         "        FTDIBUS\\VID_0403+PID_6010+KQ6" + s + "A\\0000 class=ports desc=\"USB Serial Port\" friendly=\"USB Serial Port (COM" + std::to_string(22 + 4 * n) + ")\"\n"
         "      USB\\VID_0403&PID_6010&MI_01\\7&" + h + "&1&0001 desc=\"USB Serial Converter B\"\n"
         "        FTDIBUS\\VID_0403+PID_6010+KQ6" + s + "B\\0000 class=ports desc=\"USB Serial Port\" friendly=\"USB Serial Port (COM" + std::to_string(23 + 4 * n) + ")\"\n"
         "    USB\\VID_10C4&PID_EAC3\\6&" + h + "&0&4 desc=\"USB Composite Device\"\n"
         "      USB\\VID_10C4&PID_EAC3&MI_00\\7&" + h + "&2&0000 desc=\"USB Audio Device\"\n"
         "      USB\\VID_10C4&PID_EAC3&MI_01\\7&" + h + "&2&0001 desc=\"KQ-6200 Reserved Interface\"\n"
         "      USB\\VID_10C4&PID_EAC3&MI_02\\7&" + h + "&2&0002 desc=\"USB Audio Device\" friendly=\"USB Audio CODEC\"\n"
         "        SWD\\MMDEVAPI\\{0.0.0.00000000}.{" + h + "0000-0000-0000-0000-000000000000} desc=\"Speakers\" friendly=\"Speakers (USB Audio CODEC)\"\n"
         "        SWD\\MMDEVAPI\\{0.0.1.00000000}.{" + h + "0001-0000-0000-0000-000000000000} desc=\"Microphone\" friendly=\"Microphone (USB Audio CODEC)\"\n";
}

// `units` units spread evenly among `others` ordinary USB devices.
std::string generateTree(int units, int others) {
  std::string tree = "USB\\ROOT_HUB30\\4&2B8E0A2&0&0 desc=\"USB Root Hub (USB 3.0)\"\n";
  const int every = others / (units + 1) + 1;
  int placed = 0;
  for (int i = 0; i < others; ++i) {
    if (placed < units && i % every == every - 1) tree += unitLines(placed++);
    tree += "  USB\\VID_" + hex4(0x1000 + i) + "&PID_" + hex4(i * 7) + "\\5&" + hex4(i) +
            "&0&" + std::to_string(i) + " desc=\"USB Input Device\"\n";
  }
  while (placed < units) tree += unitLines(placed++);
  return tree;
}

void BM_Enumeration(benchmark::State& state) {
  const int units = static_cast<int>(state.range(0));
  const int others = static_cast<int>(state.range(1));
  std::string error;
  if (!kq::sim::loadTreeText(generateTree(units, others), "generated", &error)) {
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
  if (lines != static_cast<size_t>(7 * units)) state.SkipWithError("unexpected report size");
}

BENCHMARK(BM_Enumeration)
    ->ArgsProduct({{1, 4, 16}, {50, 500}})
    ->ArgNames({"units", "others"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
