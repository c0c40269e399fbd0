// What Init costs: loading the simulated instrument library through the
// interpreter, with the trial load in an instrument host of this
// architecture (./qrnhost64 beside the binary) that comes first for a file
// not tried before, and with the trial's verdict kept from an earlier Init.
// Run from the folder that holds simspectro and the host.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "instrument/library_trial.h"
#include "interpreter/instrument.h"

namespace vdqrn {

namespace {

void BM_Init(benchmark::State& state, bool tried) {
  bench::InProcessLogFolder folder;
  Instrument instrument;
  LibraryTrial::ForgetVerdictsForTesting();
  if (instrument.Execute("Init|simspectro|").ToString() != "OK") {
    return state.SkipWithError("Init of simspectro was not answered OK");
  }
  for (auto _ : state) {
    if (tried) LibraryTrial::ForgetVerdictsForTesting();
    benchmark::DoNotOptimize(instrument.Execute("Init|simspectro|").ToString());
  }
  LibraryTrial::ForgetVerdictsForTesting();
}

}  // namespace

BENCHMARK_CAPTURE(BM_Init, with_trial, true)->Name("init/with_trial")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Init, verdict_kept, false)
    ->Name("init/verdict_kept")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace vdqrn
