// One library call alone, in process and through the 32-bit instrument host:
// round_trip/{in_process,host} call IsConnected of the simulated instrument
// (./simspectro.so, or ./simspectro32.so behind ./qrnhost32) over and over.
// Their difference is what a round trip to the host costs; the same beside a
// thread that takes a processor briefly every millisecond. paced/* make the
// same call every 10 ms and count its CPU time and latency; busy/host makes
// it in a burst (200 us apart, inside the host's watch window) while every
// processor is kept busy by a spinning thread. The host's figures at either
// pace come with a floor measured in turns in the same run, through a second
// host where neither side ever watches the ring: on a small machine the
// scheduler's luck changes from run to run more than what is measured.
// Run from the folder that holds them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <memory>
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

// The same through the host while another thread wakes every millisecond and
// runs for 50 us, as the services of a small virtual machine do: now and then
// it takes a processor from a side that watches the ring.
void BM_RoundTripBesideAPassingThread(benchmark::State& state) {
  std::atomic<bool> stop{false};
  std::thread passing([&stop] {
    using Clock = std::chrono::steady_clock;
    while (!stop.load(std::memory_order_relaxed)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const auto until = Clock::now() + std::chrono::microseconds(50);
      while (Clock::now() < until) {
      }
    }
  });
  BM_RoundTrip(state, "simspectro32");
  stop = true;
  passing.join();
}

BENCHMARK(BM_RoundTripBesideAPassingThread)
    ->Name("round_trip/host_beside_a_passing_thread")
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

// The host's CPU clock: its schedstat file (empty: in process).
std::string HostClock(long host) {
  return host != 0 ? "/proc/" + std::to_string(host) + "/schedstat" : std::string();
}

// A host that watches the ring (as shipped) and one where neither side ever
// does, side by side, with their CPU clocks.
struct HostAndFloor {
  bench::InProcessLogFolder folder;
  Spectro host;
  Spectro floor;
  std::string hostClock;
  std::string floorClock;
  bool Load(benchmark::State& state) {
    if (vdqrn::Load(host, "simspectro32", true)) {
      hostClock = HostClock(StartedHostId(folder.LogPath()));
      if (vdqrn::Load(floor, "simspectro32", false)) {
        floorClock = HostClock(StartedHostId(folder.LogPath()));
        if (!hostClock.empty() && floorClock != hostClock) return true;
      }
    }
    state.SkipWithError("cannot load simspectro32 twice, each in a host of its own");
    return false;
  }
};

// The value `tenths` of the way up the sorted values (5: the median).
double At(std::vector<double> values, std::size_t tenths) {
  std::sort(values.begin(), values.end());
  return values[values.size() * tenths / 10];
}

// Calls every 10 ms: the latency of each, and its CPU time, this thread's and
// the host's together (`hostClock` empty: in process).
struct PacedCalls {
  std::vector<double> cpu;
  std::vector<double> latency;
  void Make(benchmark::State& state, Spectro& spectro, const std::string& hostClock) {
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const double hostBefore = hostClock.empty() ? 0 : CpuMicroseconds(hostClock);
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
    cpu.push_back(own + (hostClock.empty() ? 0 : CpuMicroseconds(hostClock) - hostBefore));
    latency.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    state.ResumeTiming();
  }
  // Medians: one call that the system held up says nothing of the others.
  void Report(benchmark::State& state, const std::string& prefix) const {
    state.counters[prefix + "cpu_us"] = At(cpu, 5);
    state.counters[prefix + "latency_us"] = At(latency, 5);
  }
};

// One library call every 10 ms, as commands come at a human pace: what each
// costs in CPU time and in latency, in process.
void BM_PacedInProcess(benchmark::State& state) {
  bench::InProcessLogFolder folder;
  Spectro spectro;
  if (!spectro.LoadDriver("simspectro")) return state.SkipWithError("cannot load simspectro");
  PacedCalls calls;
  for (auto _ : state) calls.Make(state, spectro, std::string());
  calls.Report(state, "");
}

BENCHMARK(BM_PacedInProcess)
    ->Name("paced/in_process")
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

// The same through the host and, in turns, through the floor.
void BM_PacedHost(benchmark::State& state) {
  HostAndFloor both;
  if (!both.Load(state)) return;
  PacedCalls host, floor;
  for (auto _ : state) {
    host.Make(state, both.host, both.hostClock);
    floor.Make(state, both.floor, both.floorClock);
  }
  host.Report(state, "");
  floor.Report(state, "floor_");
}

BENCHMARK(BM_PacedHost)->Name("paced/host")->Iterations(200)->Unit(benchmark::kMicrosecond);

// Calls in a burst, each 200 us after the last reply (the host, when it
// watches, still watches), while one thread per processor spins at the same
// priority: the latency through the host and, in turns, through the floor,
// whose every request wakes its host. With every processor taken, a call
// waits either a few microseconds or tens for the system to run its host,
// the floor's as much as the watching one's, and how often each comes stays
// with a host process while it lives: so the pair is measured in several
// rounds, each with hosts of its own, and their ratios are compared.
void BM_Busy(benchmark::State& state) {
  constexpr int kRounds = 5;
  const auto perRound = static_cast<std::size_t>(state.max_iterations) / kRounds;
  std::atomic<bool> stop{false};
  std::vector<std::thread> spinners;
  for (unsigned count = 0; count < platform::UsableProcessors(); ++count) {
    spinners.emplace_back([&stop] {
      while (!stop.load(std::memory_order_relaxed)) {
      }
    });
  }
  using Clock = std::chrono::steady_clock;
  const auto call = [](Spectro& spectro, std::vector<double>* latencies) {
    const auto gapEnd = Clock::now() + std::chrono::microseconds(200);
    while (Clock::now() < gapEnd) {
    }
    const auto start = Clock::now();
    benchmark::DoNotOptimize(spectro.IsConnected());
    latencies->push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  };
  std::vector<double> host, floor, ratios;  // ratios: of each round's medians
  auto both = std::make_unique<HostAndFloor>();
  std::size_t made = 0;
  for (auto _ : state) {
    if (made % perRound == 0) {
      if (made != 0) {
        ratios.push_back(At({host.end() - perRound, host.end()}, 5) /
                         At({floor.end() - perRound, floor.end()}, 5));
        both.reset();  // its hosts end before the next ones start
        both = std::make_unique<HostAndFloor>();
      }
      if (!both->Load(state)) break;
    }
    call(both->host, &host);
    call(both->floor, &floor);
    ++made;
  }
  stop = true;
  for (std::thread& spinner : spinners) spinner.join();
  if (made < perRound * kRounds) return;
  ratios.push_back(At({host.end() - perRound, host.end()}, 5) /
                   At({floor.end() - perRound, floor.end()}, 5));
  state.counters["median_us"] = At(host, 5);
  state.counters["p90_us"] = At(host, 9);
  state.counters["floor_median_us"] = At(floor, 5);
  state.counters["floor_p90_us"] = At(floor, 9);
  std::sort(ratios.begin(), ratios.end());
  state.counters["ratio_lowest"] = ratios.front();
  state.counters["ratio_highest"] = ratios.back();
}

BENCHMARK(BM_Busy)->Name("busy/host")->Iterations(2500)->Unit(benchmark::kMicrosecond);

}  // namespace

}  // namespace vdqrn
