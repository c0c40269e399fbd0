// Cost of one command through the interpreter, log lines included, against
// the simulated instrument. Run from the folder that holds simspectro.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "diagnostics/log.h"
#include "interpreter/instrument.h"
#include "platform/platform.h"

namespace {

// The log goes to a folder of the benchmark's own, emptied for each run.
class LoggedInstrument {
 public:
  LoggedInstrument() {
    directory_ = std::filesystem::temp_directory_path() / "vdqrn-bench";
    std::filesystem::create_directories(directory_);
    platform::SetTempDirectoryForTesting(directory_.string() + "/");
    diagnostics::ResetFirstOpenForTesting();
  }
  ~LoggedInstrument() {
    platform::SetTempDirectoryForTesting("");
    std::filesystem::remove_all(directory_);
  }
  Instrument instrument;

 private:
  std::filesystem::path directory_;
};

void RunCommand(benchmark::State& state, const char* command) {
  LoggedInstrument logged;
  logged.instrument.Execute("Init|simspectro|");
  logged.instrument.Execute("Connect");
  logged.instrument.Execute("Measure");
  for (auto _ : state) {
    benchmark::DoNotOptimize(logged.instrument.Execute(command).ToString());
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
  LoggedInstrument logged;
  logged.instrument.Execute("Init|simspectro|");
  logged.instrument.Execute("Connect");
  logged.instrument.Execute("Measure");
  if (logged.instrument.Execute(command).ToString().rfind("OK|", 0) != 0) {
    return state.SkipWithError("the command was not answered with OK");
  }
  for (auto _ : state) benchmark::DoNotOptimize(logged.instrument.Execute(command).ToString());
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
