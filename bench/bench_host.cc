// One library call alone, in process and through the 32-bit instrument host:
// round_trip/{in_process,host} call IsConnected of the simulated instrument
// (./simspectro.so, or ./simspectro32.so behind ./qrnhost32) over and over.
// Their difference is what a round trip to the host costs. paced/* make the
// same call every 10 ms and count its CPU time and latency; busy/* make it
// in a burst (200 us apart, inside the host's watch window) while every
// processor is kept busy by a spinning thread. Run from the folder that
// holds them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "bench_support.h"
#include "instrument/spectro.h"
#include "platform/platform.h"

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

// CPU time of a process in microseconds, from the scheduler's own count
// (/proc/PID/schedstat: nanoseconds on a processor), which is exact where
// utime and stime count in ticks.
double CpuMicroseconds(const std::string& schedstat) {
  std::ifstream file(schedstat);
  unsigned long long nanoseconds = 0;
  file >> nanoseconds;
  return static_cast<double>(nanoseconds) / 1000.0;
}

double ThreadCpuMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1000.0;
}

// The process id of the host the log says was started last; 0 when none.
long StartedHostId(const std::string& log) {
  std::ifstream file(log);
  std::string line;
  long id = 0;
  const std::string marker = ", process ";
  while (std::getline(file, line)) {
    const std::size_t at = line.find("Instrument host started (");
    const std::size_t process = line.rfind(marker);
    if (at != std::string::npos && process != std::string::npos) {
      id = std::atol(line.c_str() + process + marker.size());
    }
  }
  return id;
}

// Loads the library; a host started for it watches the ring or never does.
bool Load(Spectro& spectro, const char* library, bool watching) {
  platform::SetChannelWatchingForTesting(watching);
  const bool loaded = spectro.LoadDriver(library);
  platform::SetChannelWatchingForTesting(true);
  return loaded;
}

// One library call every 10 ms, as commands come at a human pace: what each
// costs in CPU time (this thread's and the host's together) and in latency.
// In process, through the host, and through a host where neither side ever
// watches the ring before it sleeps (the floor for a host at this pace).
void BM_Paced(benchmark::State& state, const char* library, bool watching) {
  bench::InProcessLogFolder folder;
  Spectro spectro;
  if (!Load(spectro, library, watching)) {
    return state.SkipWithError((std::string("cannot load ") + library).c_str());
  }
  const long host = StartedHostId(folder.LogPath());
  const std::string hostClock =
      host != 0 ? "/proc/" + std::to_string(host) + "/schedstat" : std::string();
  double cpu = 0, latency = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const double hostBefore = host != 0 ? CpuMicroseconds(hostClock) : 0;
    state.ResumeTiming();
    // This thread's clock right around the call, so that reading the host's
    // count is not counted.
    const double ownBefore = ThreadCpuMicroseconds();
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(spectro.IsConnected());
    const auto end = std::chrono::steady_clock::now();
    const double own = ThreadCpuMicroseconds() - ownBefore;
    state.PauseTiming();
    // The host's CPU time goes on after its reply: it watches or falls asleep.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    cpu += own + (host != 0 ? CpuMicroseconds(hostClock) - hostBefore : 0);
    latency += std::chrono::duration<double, std::micro>(end - start).count();
    state.ResumeTiming();
  }
  const double calls = static_cast<double>(state.iterations());
  state.counters["cpu_us"] = cpu / calls;
  state.counters["latency_us"] = latency / calls;
}

BENCHMARK_CAPTURE(BM_Paced, in_process, "simspectro", true)
    ->Name("paced/in_process")
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Paced, host, "simspectro32", true)
    ->Name("paced/host")
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Paced, host_never_watching, "simspectro32", false)
    ->Name("paced/host_never_watching")
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

// Calls in a burst, each 200 us after the last reply (the host, when it
// watches, still watches), while one thread per processor spins at the same
// priority: the median and 90th percentile latency. Against a host that
// never watches, whose every request wakes it.
void BM_Busy(benchmark::State& state, const char* library, bool watching) {
  bench::InProcessLogFolder folder;
  Spectro spectro;
  if (!Load(spectro, library, watching)) {
    return state.SkipWithError((std::string("cannot load ") + library).c_str());
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> spinners;
  for (unsigned count = 0; count < platform::UsableProcessors(); ++count) {
    spinners.emplace_back([&stop] {
      while (!stop.load(std::memory_order_relaxed)) {
      }
    });
  }
  using Clock = std::chrono::steady_clock;
  std::vector<double> latencies;
  for (auto _ : state) {
    const auto gapEnd = Clock::now() + std::chrono::microseconds(200);
    while (Clock::now() < gapEnd) {
    }
    const auto start = Clock::now();
    benchmark::DoNotOptimize(spectro.IsConnected());
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  stop = true;
  for (std::thread& spinner : spinners) spinner.join();
  std::sort(latencies.begin(), latencies.end());
  state.counters["median_us"] = latencies[latencies.size() / 2];
  state.counters["p90_us"] = latencies[latencies.size() * 9 / 10];
}

BENCHMARK_CAPTURE(BM_Busy, host, "simspectro32", true)
    ->Name("busy/host")
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Busy, host_never_watching, "simspectro32", false)
    ->Name("busy/host_never_watching")
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

}  // namespace vdqrn
