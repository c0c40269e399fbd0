// Cost of one command through the interpreter, log lines included, against
// the simulated instrument. Run from the folder that holds simspectro.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_support.h"
#include "interpreter/instrument.h"

namespace vdqrn {

namespace {

// The interpreter with the simulated instrument loaded, connected and
// measured, its log in a folder of the benchmark's own.
class PreparedInstrument {
 public:
  PreparedInstrument() {
    instrument.Execute("Init|simspectro|");
    instrument.Execute("Connect");
    instrument.Execute("Measure");
  }
  bench::InProcessLogFolder folder;  // first: the set-up already logs
  Instrument instrument;
};

void RunCommand(benchmark::State& state, const char* command) {
  PreparedInstrument prepared;
  for (auto _ : state) {
    benchmark::DoNotOptimize(prepared.instrument.Execute(command).ToString());
  }
}

// A table command followed by parameters up to the size in bytes: the
// interpreter splits, logs and joins them all, and the command ignores all
// but its first two. Cost must grow linearly with the size.
void BM_CommandSize(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::string command = "GetSpectralData|0|5|";
  while (command.size() + 7 <= size) command += "123456|";
  command.append(size - command.size(), '7');
  PreparedInstrument prepared;
  if (prepared.instrument.Execute(command).ToString().rfind("OK|", 0) != 0) {
    return state.SkipWithError("the command was not answered with OK");
  }
  for (auto _ : state) benchmark::DoNotOptimize(prepared.instrument.Execute(command).ToString());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Greeting(benchmark::State& state) { RunCommand(state, "Hello"); }
void BM_UnknownCommand(benchmark::State& state) { RunCommand(state, "Nope|a|b|"); }
void BM_Measure(benchmark::State& state) { RunCommand(state, "Measure"); }
void BM_SpectralDataAll(benchmark::State& state) { RunCommand(state, "GetSpectralDataAll|1|"); }

}  // namespace

BENCHMARK(BM_CommandSize)
    ->Name("interpreter/command_size")
    ->Arg(1 << 10)
    ->Arg(10 << 10)
    ->Arg(100 << 10)
    ->Arg(1000 << 10)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Greeting);
BENCHMARK(BM_UnknownCommand);
BENCHMARK(BM_Measure);
BENCHMARK(BM_SpectralDataAll);

}  // namespace vdqrn
