// Cost of one log line: every line opens, writes, flushes and closes the file.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_support.h"
#include "diagnostics/log.h"

namespace vdqrn {

namespace {

void BM_TimestampedLine(benchmark::State& state) {
  bench::InProcessLogFolder folder;
  const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) diagnostics::LogTimestamped(text);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_PlainLine(benchmark::State& state) {
  bench::InProcessLogFolder folder;
  for (auto _ : state) {
    diagnostics::PlainLogLine() << "Data (channel: " << 5 << ", size: " << 7 << "): \"Connect\"";
  }
}

}  // namespace

BENCHMARK(BM_TimestampedLine)->Arg(16)->Arg(4096);
BENCHMARK(BM_PlainLine);

}  // namespace vdqrn
