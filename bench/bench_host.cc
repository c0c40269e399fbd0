// One library call alone, in process and through the 32-bit instrument host:
// round_trip/{in_process,host} call IsConnected of the simulated instrument
// (./simspectro.so, or ./simspectro32.so behind ./qrnhost32) over and over.
// Their difference is what a round trip to the host costs. Run from the
// folder that holds them.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_support.h"
#include "instrument/spectro.h"

namespace vdqrn {

namespace {

void BM_RoundTrip(benchmark::State& state, const char* library) {
  bench::InProcessLogFolder folder;  // the host's start and stop are logged
  Spectro spectro;
  if (!spectro.LoadDriver(library)) {
    return state.SkipWithError((std::string("cannot load ") + library).c_str());
  }
  for (auto _ : state) benchmark::DoNotOptimize(spectro.IsConnected());
}

BENCHMARK_CAPTURE(BM_RoundTrip, in_process, "simspectro")
    ->Name("round_trip/in_process")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RoundTrip, host, "simspectro32")
    ->Name("round_trip/host")
    ->Unit(benchmark::kMicrosecond);

}  // namespace

}  // namespace vdqrn
