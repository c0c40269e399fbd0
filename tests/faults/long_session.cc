// A long session for the memory checkers: the engine simulator drives the
// built driver module through thousands of commands of every family, in
// normal and high-performance mode, over two loads of the module, with
// refused sends, replaced responses, the instrument libraries loaded in turn
// (simspectro, recordingspectro, one missing an export, a missing one),
// library texts longer than the direct send can carry, null texts and library
// exceptions. Every command must come back as exactly one accepted response,
// the expected one, and the heap in use must not grow from round to round;
// the first failure ends the program with status 1.
// scripts/valgrind.sh runs it under memcheck; ctest runs it as it is.
//
//   long_session [ROUNDS]      (default 12; each round is about 110 commands
//                               per mode and load)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine_sim.h"
#include "exchanges.h"
#include "module_test.h"
#include "recording_controls.h"
#include "test_directory.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vdqrn {

namespace {

using engine_sim::Engine;

int g_commands = 0;

// Heap bytes in use: glibc's count, or on Windows the busy blocks of every
// heap of the process (the C runtime's among them).
std::size_t HeapInUse() {
#if defined(_WIN32)
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  std::size_t inUse = 0;
  for (DWORD i = 0; i < count && i < 64; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) inUse += entry.cbData;
    }
    HeapUnlock(heaps[i]);
  }
  return inUse;
#elif defined(__GLIBC__) && __GLIBC_PREREQ(2, 33)
  return mallinfo2().uordblks;
#elif defined(__GLIBC__)
  // Older C libraries (the builds against Debian 11's) count in an int.
  return static_cast<unsigned>(mallinfo().uordblks);
#else
#error "long_session needs the heap in use; add this C library's way to tell"
#endif
}
// Growth allowed over a session: less than one small block per command.
constexpr std::size_t kHeapSlack = 16 * 1024;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "long_session: %s (after %d commands)\n", what.c_str(), g_commands);
  std::exit(1);
}

// One command through the module with the engine refusing the first sends;
// the engine polls until it has taken the response, which must arrive once,
// whole and the same on every attempt.
std::string Deliver(Engine& engine, const std::string& command,
                    const std::vector<std::int32_t>& refusals = {},
                    const char* channel = engine_sim::kDataChannelName) {
  ++g_commands;
  engine.ClearSent();
  engine.ScriptSendStatuses(refusals);
  if (!engine.Write(channel, command)) Fail("no write hook for " + command);
  // A refused send may answer anything, 21 included: poll until the engine
  // has taken it.
  for (std::size_t polls = 0; engine.Sent().size() <= refusals.size(); ++polls) {
    if (polls > refusals.size()) Fail("not sent: " + command);
    engine.Poll();
  }
  if (engine.Poll() != ica::kStatusNoData) Fail("still pending: " + command);
  const std::vector<std::string> accepted = AcceptedSends(engine.Sent(), refusals);
  if (accepted.size() != 1) Fail("accepted " + std::to_string(accepted.size()) + "x: " + command);
  if (engine.Sent().size() != refusals.size() + 1) Fail("wrong number of attempts: " + command);
  for (const engine_sim::SentData& sent : engine.Sent()) {
    if (sent.bytes != accepted[0]) Fail("attempts differ: " + command);
  }
  return accepted[0];
}

void Expect(Engine& engine, const std::string& command, const std::string& response,
            const std::vector<std::int32_t>& refusals = {}) {
  const std::string got = Deliver(engine, command, refusals);
  if (got != response) {
    Fail(command.substr(0, 80) + " answered \"" + got.substr(0, 80) + "\", expected \"" +
         response.substr(0, 80) + "\"");
  }
}

void EveryFamily(Engine& engine, int round) {
  // Refusals on every other command, of every kind the engine may answer.
  const std::vector<std::int32_t> kRefusals[] = {{}, {1016}, {}, {7, 1016}, {}, {1011, 21, 30}};
  int i = 0;
  for (const Exchange& exchange : EveryFamilyWithSimspectro()) {
    Expect(engine, exchange.command, exchange.response, kRefusals[(round + i++) % 6]);
  }
}

void WithTheRecordingLibrary(Engine& engine, RecordingLibrary& recording, int round) {
  Expect(engine, "Init|recordingspectro|", "OK");
  recording.Reset();
  recording.SetText("answer");
  Expect(engine, "GetSerialNumber", "OK|answer");
  Expect(engine, "Execute|" + std::to_string(round) + "|", "OK|answer", {1016, 1016});
  Expect(engine, "GetSpectralDataAll|1|",
         "OK|0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0");
  recording.SetText(nullptr);
  Expect(engine, "GetCalSteps", "OK");
  Expect(engine, "GetOption|Aperture|", "OK");
  // Longer than the direct send's 16-bit length, and then some.
  const std::string text(65536 + 1000 * static_cast<std::size_t>(round % 7), 'x');
  recording.SetText(text.c_str());
  Expect(engine, "GetAvailableSettings", "OK|" + text, {1016});
  recording.SetText("answer");
  // Where our compiler's exceptions cannot leave the library (32-bit
  // Windows) a throw cuts the call short, and the library then moves to a
  // host at the next Init (the fault tests cover that); the session here
  // keeps its library in process.
  if (LibraryReasonsAreReadable()) {
    recording.SetThrow(RecordingLibrary::kInt);
    Expect(engine, "Connect", "ERROR|Unhandled exception");
    recording.SetThrow(RecordingLibrary::kUnrelatedClass);
    Expect(engine, "GetSerialNumber", "ERROR|Unhandled exception", {7});
    recording.SetThrow(RecordingLibrary::kRuntimeError);
    Expect(engine, "Measure", StandardExceptionAnswer("Measure", "recorded failure"));
    recording.SetThrow(RecordingLibrary::kNullWhat);
    Expect(engine, "GetLastErrorString", StandardExceptionAnswer("GetLastErrorString", ""));
    recording.SetThrow(RecordingLibrary::kNothing);
  }
  Expect(engine, "IsConnected", "OK|true");
  Expect(engine, "Init|no-such-library|",
         "ERROR|Error loading driver (\"no-such-library\") on client");
  Expect(engine, "Init|../simspectro|", "ERROR|Error loading driver (\"../simspectro\") on client");
  Expect(engine, "GetSerialNumber", "ERROR|No driver loaded");
}

void Replacements(Engine& engine, bool hpc) {
  // Two commands before the engine takes anything: only the second arrives.
  ++g_commands;
  engine.ClearSent();
  const std::vector<std::int32_t> refusals = {1016};
  engine.ScriptSendStatuses(refusals);
  engine.Write(engine_sim::kCommandChannelName, "First");
  if (!hpc && engine.Poll() != 30) Fail("refusal not reported");
  engine.Write(engine_sim::kCommandChannelName, "Hello|second|");
  engine.Poll();
  if (engine.Poll() != ica::kStatusNoData) Fail("replaced response still pending");
  if (AcceptedSends(engine.Sent(), refusals) != std::vector<std::string>{"OK|Hello"}) {
    Fail("replaced response arrived");
  }
  const std::string longest(65535, 'L');
  Expect(engine, longest, "ERROR|Unknown command \"" + longest + "\"");
}

void Procedures(Engine& engine) {
  if (engine.Info(48, "VDQRN").status != 0) Fail("info");
  if (engine.Info(20, "VDQRN").status != ica::kStatusBufferTooSmall) Fail("short info");
  if (engine.QueryInformation(ica::kQueryLastError, 292).status != 0) Fail("last error");
  if (engine.QueryInformation(7, 16).status != 0) Fail("query");
  if (engine.SetInformation(92) != 0) Fail("set information");
}

// One load of the module: rounds in the first mode, an open in the other
// mode, rounds again, then the unload.
void Session(int rounds, std::uint16_t firstVersion, RecordingLibrary& recording) {
  Engine engine;
  if (!engine.LoadModule(ModulePath())) Fail(engine.LastError());
  std::size_t inUse = 0;
  for (const std::uint16_t version : {firstVersion, static_cast<std::uint16_t>(!firstVersion)}) {
    engine.SetWdVersion(version);
    if (engine.Open() != 0) Fail("open");
    for (int round = 0; round < rounds; ++round) {
      EveryFamily(engine, round);
      WithTheRecordingLibrary(engine, recording, round);
      Replacements(engine, version != 0);
      Procedures(engine);
      // The heap must not grow with the session: what is in use after the
      // second round is what is in use after the last, give or take caches.
      if (round == 1) inUse = HeapInUse();
      if (round == rounds - 1 && round > 1 && HeapInUse() > inUse + kHeapSlack) {
        Fail("heap grew from " + std::to_string(inUse) + " to " + std::to_string(HeapInUse()) +
             " bytes in use");
      }
    }
  }
  if (engine.Close() != 0) Fail("close");
  if (engine.Unload() != 0) Fail("unload");
  if (!engine.Violations().empty()) Fail("engine contract: " + engine.Violations()[0]);
}

}  // namespace

int RunLongSession(int rounds) {
  const TestDirectory logDirectory;
  engine_sim::SetModuleTempDirectory(logDirectory.Path());
  RecordingLibrary recording;
  if (!recording.IsLoaded()) Fail("recordingspectro not loaded");
  Session(rounds, 0, recording);
  Session(rounds, 1, recording);
  std::printf("long_session: %d commands answered, each once\n", g_commands);
  return 0;
}

}  // namespace vdqrn

int main(int argc, char** argv) {
  return vdqrn::RunLongSession(argc > 1 ? std::atoi(argv[1]) : 12);
}
