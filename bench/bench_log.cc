// Cost of one log line: every line opens, writes, flushes and closes the file.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "diagnostics/log.h"
#include "platform/platform.h"

namespace {

void BM_TimestampedLine(benchmark::State& state) {
  const auto directory = std::filesystem::temp_directory_path() / "vdqrn-bench-log";
  std::filesystem::create_directories(directory);
  platform::SetTempDirectoryForTesting(directory.string() + "/");
  const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) diagnostics::LogTimestamped(text);
  state.SetBytesProcessed(state.iterations() * state.range(0));
  platform::SetTempDirectoryForTesting("");
  std::filesystem::remove_all(directory);
}

void BM_PlainLine(benchmark::State& state) {
  const auto directory = std::filesystem::temp_directory_path() / "vdqrn-bench-log";
  std::filesystem::create_directories(directory);
  platform::SetTempDirectoryForTesting(directory.string() + "/");
  for (auto _ : state) {
    diagnostics::PlainLogLine() << "Data (channel: " << 5 << ", size: " << 7 << "): \"Connect\"";
  }
  platform::SetTempDirectoryForTesting("");
  std::filesystem::remove_all(directory);
}

}  // namespace

BENCHMARK(BM_TimestampedLine)->Arg(16)->Arg(4096);
BENCHMARK(BM_PlainLine);
