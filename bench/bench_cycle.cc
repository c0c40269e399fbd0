// The full command cycle through the built module, against the two floors
// that every cycle must pay for its log lines. cycle/{command}/{mode} times
//   the cycle: bytes into the data-arrival procedure, then the engine's poll,
//              through engine_sim and ./vdqrn.so (high-performance mode:
//              ./vdqrn-windows-engine.so) against ./simspectro.so;
//   the stream floor: the same log lines, the same bytes, the same file, each
//              through a fresh ofstream opened for appending, written, closed;
//   the system floor: the same through open, write and close.
// host/{command} times the cycle in process and through the 32-bit instrument
//   host (./qrnhost32, ./simspectro32.so) in turns.
// memory/{mode} runs 100,000 cycles and reports the resident set after 1,000
// and after 100,000. Run from the folder that holds the module.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine_sim.h"
#include "log_folder.h"

namespace vdqrn {

namespace {

// kHost: normal mode with the 32-bit simulated instrument, through the
// 32-bit instrument host (./qrnhost32 and ./simspectro32.so beside the module);
// only the host/ benchmarks run it, beside a session in process.
enum class Mode { kNormal, kHpc, kHost };

const char* ModeName(Mode mode) {
  return mode == Mode::kHpc ? "hpc" : "normal";
}

// The built module behind the engine simulator, opened, with the simulated
// instrument initialised, connected and measured.
class ModuleSession {
 public:
  // `module` replaces the mode's module file (a copy of it, for a second
  // instance beside the first).
  explicit ModuleSession(Mode mode, std::string module = std::string()) {
    engine_.SetWdVersion(mode == Mode::kHpc ? 1 : 0);
    // The module a Linux client loads has no high-performance mode; its
    // Windows-engine build has, with the same code.
    if (module.empty()) module = mode == Mode::kHpc ? "./vdqrn-windows-engine.so" : "./vdqrn.so";
    engine_.MakeCurrent();
    if (!engine_.LoadModule(module)) {
      problem_ = "cannot load " + module + " (" + engine_.LastError() + "); run from build/linux/bin";
      return;
    }
    if (engine_.Open() != 0) {
      problem_ = "the module refused the open";
      return;
    }
    const char* const init = mode == Mode::kHost ? "Init|simspectro32|" : "Init|simspectro|";
    for (const char* command : {init, "Connect", "Measure"}) {
      const std::string response = Exchange(command);
      if (response.rfind("OK", 0) != 0) {
        problem_ = std::string(command) + " answered \"" + response + "\"";
        return;
      }
    }
  }
  ~ModuleSession() {
    if (engine_.IsLoaded()) {
      engine_.MakeCurrent();
      engine_.Close();
      engine_.Unload();
    }
  }
  ModuleSession(const ModuleSession&) = delete;
  ModuleSession& operator=(const ModuleSession&) = delete;

  // Empty when the session is ready for cycles.
  const std::string& Problem() const { return problem_; }

  // One command, answered: the response the module sent, or "" when it sent
  // none or more than one.
  std::string Exchange(const std::string& command) {
    UseCommand(command);
    Send();
    const std::string response = engine_.Sent().size() == 1 ? engine_.Sent()[0].bytes : "";
    engine_.ClearSent();
    return response;
  }

  // The bytes that the following cycles hand over.
  void UseCommand(const std::string& command) { bytes_.assign(command.begin(), command.end()); }

  // One cycle: the bytes arrive on the command channel, then the engine polls.
  // True when exactly one response went out. Out of line for profiles.
  [[gnu::noinline]] bool Cycle() {
    Send();
    const bool one = engine_.Sent().size() == 1;
    engine_.ClearSent();
    return one;
  }

 private:
  void Send() {
    engine_.MakeCurrent();
    engine_.WriteRaw(engine_sim::kCommandChannelName, bytes_.data(),
                     static_cast<std::uint16_t>(bytes_.size()));
    engine_.Poll();
  }

  engine_sim::Engine engine_;
  std::vector<std::uint8_t> bytes_;
  std::string problem_;
};

// The floors' loops stay out of line, so that profiles can find them.
[[gnu::noinline]] void WriteThroughStreams(const std::string& path,
                                           const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    std::ofstream stream(path, std::ios_base::out | std::ios_base::app);
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream.close();
  }
}

[[gnu::noinline]] void WriteThroughSystem(const std::string& path,
                                          const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (file < 0) continue;
    benchmark::DoNotOptimize(::write(file, line.data(), line.size()));
    ::close(file);
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

// One benchmark iteration times one cycle and each floor once, in turns,
// against the same file: a drift of the machine or the file system moves all
// three alike. The benchmark's time is the cycle's; the floors and the ratios
// are counters, from the medians of all iterations.
void BM_Cycle(benchmark::State& state, Mode mode, const std::string& command) {
  using Clock = std::chrono::steady_clock;
  engine_sim_cli::LogFolder folder;
  if (!folder.Created()) return state.SkipWithError(folder.Error().c_str());
  ModuleSession session(mode);
  if (!session.Problem().empty()) return state.SkipWithError(session.Problem().c_str());
  session.UseCommand(command);
  session.Cycle();
  const std::string path = folder.LogPath();
  const std::uintmax_t before = bench::FileSize(path);
  session.Cycle();
  // The lines of one cycle, as the module wrote them: the floors write these.
  const std::vector<std::string> lines = bench::LinesFrom(path, before);

  std::vector<double> cycle, stream, system;
  bool allAnswered = true;
  int turn = 0;
  for (auto _ : state) {
    for (int part = 0; part < 3; ++part) {
      const int which = (part + turn) % 3;
      const Clock::time_point start = Clock::now();
      if (which == 0) {
        allAnswered &= session.Cycle();
      } else if (which == 1) {
        WriteThroughStreams(path, lines);
      } else {
        WriteThroughSystem(path, lines);
      }
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      (which == 0 ? cycle : which == 1 ? stream : system).push_back(seconds);
      if (which == 0) state.SetIterationTime(seconds);
    }
    turn = (turn + 1) % 3;
  }
  if (!allAnswered) return state.SkipWithError("a cycle did not send exactly one response");
  const double cycleMedian = Median(cycle);
  const double streamMedian = Median(stream);
  const double systemMedian = Median(system);
  state.counters["cycle_us"] = cycleMedian * 1e6;
  state.counters["stream_floor_us"] = streamMedian * 1e6;
  state.counters["system_floor_us"] = systemMedian * 1e6;
  state.counters["ratio_stream"] = streamMedian > 0 ? cycleMedian / streamMedian : 0;
  state.counters["ratio_system"] = systemMedian > 0 ? cycleMedian / systemMedian : 0;
  state.counters["lines"] = static_cast<double>(lines.size());
  state.counters["log_bytes"] = static_cast<double>(bench::TotalBytes(lines));
}

// The same command in process and through the instrument host, in turns, in
// two sessions side by side: the in-process one runs a copy of the module
// (a second instance with its own state; the host's session keeps the module
// beside ./qrnhost32). Both write the same log file.
void BM_HostCycle(benchmark::State& state, const std::string& command) {
  using Clock = std::chrono::steady_clock;
  engine_sim_cli::LogFolder folder;
  if (!folder.Created()) return state.SkipWithError(folder.Error().c_str());
  const std::string copy = folder.LogPath() + ".module.so";
  std::error_code failed;
  std::filesystem::copy_file("./vdqrn.so", copy, std::filesystem::copy_options::overwrite_existing,
                             failed);
  if (failed) return state.SkipWithError(("cannot copy ./vdqrn.so: " + failed.message()).c_str());
  std::vector<double> inProcess, hosted;
  bool allAnswered = true;
  {
    ModuleSession local(Mode::kNormal, copy);
    ModuleSession host(Mode::kHost);
    if (!local.Problem().empty()) return state.SkipWithError(local.Problem().c_str());
    if (!host.Problem().empty()) return state.SkipWithError(host.Problem().c_str());
    local.UseCommand(command);
    host.UseCommand(command);
    allAnswered = local.Cycle() && host.Cycle();
    bool hostFirst = false;
    for (auto _ : state) {
      for (int part = 0; part < 2; ++part) {
        const bool viaHost = (part == 0) == hostFirst;
        const Clock::time_point start = Clock::now();
        allAnswered &= viaHost ? host.Cycle() : local.Cycle();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        (viaHost ? hosted : inProcess).push_back(seconds);
        if (viaHost) state.SetIterationTime(seconds);
      }
      hostFirst = !hostFirst;
    }
  }
  std::filesystem::remove(copy, failed);
  if (!allAnswered) return state.SkipWithError("a cycle did not send exactly one response");
  const double localMedian = Median(inProcess);
  const double hostMedian = Median(hosted);
  state.counters["in_process_us"] = localMedian * 1e6;
  state.counters["host_us"] = hostMedian * 1e6;
  state.counters["ratio_host"] = localMedian > 0 ? hostMedian / localMedian : 0;
}

// The three commands in turn, 100,000 cycles; the resident set after 1,000
// and after 100,000.
void BM_Memory(benchmark::State& state, Mode mode) {
  const char* const commands[] = {"Hello", "GetSpectralData|0|5|", "GetSpectralDataAll|0|"};
  constexpr long kEarly = 1000;
  constexpr long kLate = 100000;
  for (auto _ : state) {
    engine_sim_cli::LogFolder folder;
    if (!folder.Created()) return state.SkipWithError(folder.Error().c_str());
    ModuleSession session(mode);
    if (!session.Problem().empty()) return state.SkipWithError(session.Problem().c_str());
    long early = 0;
    for (long cycle = 1; cycle <= kLate; ++cycle) {
      session.UseCommand(commands[cycle % 3]);
      if (!session.Cycle()) return state.SkipWithError("a cycle did not send exactly one response");
      if (cycle == kEarly) early = bench::ResidentKilobytes();
    }
    const long late = bench::ResidentKilobytes();
    state.counters["rss_kb_1000"] = static_cast<double>(early);
    state.counters["rss_kb_100000"] = static_cast<double>(late);
    state.counters["growth_kb"] = static_cast<double>(late - early);
  }
}

struct Scenario {
  const char* name;
  const char* command;
};

const Scenario kScenarios[] = {
    {"Hello", "Hello"},
    {"GetSpectralData", "GetSpectralData|0|5|"},
    {"GetSpectralDataAll", "GetSpectralDataAll|0|"},
};

int RegisterCycleBenchmarks() {
  for (const Scenario& scenario : kScenarios) {
    benchmark::RegisterBenchmark((std::string("host/") + scenario.name).c_str(), BM_HostCycle,
                                 std::string(scenario.command))
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
  }
  for (Mode mode : {Mode::kNormal, Mode::kHpc}) {
    for (const Scenario& scenario : kScenarios) {
      const std::string suffix = std::string("/") + scenario.name + "/" + ModeName(mode);
      const std::string command = scenario.command;
      benchmark::RegisterBenchmark(("cycle" + suffix).c_str(), BM_Cycle, mode, command)
          ->UseManualTime()
          ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark((std::string("memory/") + ModeName(mode)).c_str(), BM_Memory, mode)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  }
  return 0;
}

const int registered = RegisterCycleBenchmarks();

}  // namespace

}  // namespace vdqrn
