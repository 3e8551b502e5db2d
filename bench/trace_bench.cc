// The cost of the trace when no viewer is open: what every traced procedure
// pays on entry and exit.
#include <benchmark/benchmark.h>

#include "errortrap/ravelin.h"

namespace {

namespace rav = qs::modRavelinLITE;

void TracingOff() {
  rav::ResetForTest();
  rav::g_trace.bTrapStarted = true;  // started, no viewer found
}

void BM_TraceEnterExitPairOff(benchmark::State& state) {
  TracingOff();
  for (auto _ : state) {
    rav::TraceEnter("modIniHandler", "Function GetINIString", "");
    rav::TraceExit("modIniHandler", "Function GetINIString", "");
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TraceEnterExitPairOff);

// The whole trap of a traced procedure around an empty body.
void BM_TracedProcedureOff(benchmark::State& state) {
  TracingOff();
  int counter = 0;
  for (auto _ : state) {
    qs::Traced("frmMain", "Sub WriteLog", [&] { benchmark::DoNotOptimize(++counter); });
  }
}
BENCHMARK(BM_TracedProcedureOff);

}  // namespace
