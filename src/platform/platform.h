// The driver's only door to the operating system: dynamic libraries, the
// guarded call, the instrument host's process and channel, the log's file,
// the temporary directory and the local time. No other file knows which
// system it runs on. platform.cc holds what is the same everywhere; each
// concern has a file of its own per system.
// POSIX:
//   guarded_call_posix.cc     CallGuarded
//   abandon_library_posix.cc  a library whose call was cut short, kept away
//   library_posix.cc          libraries, LocateLibrary, OwnDirectory,
//                             ReadFileStart
//   child_process_posix.cc    StartChildProcess, EndChildProcess,
//                             OpenParentChannel
//   channel_posix.cc          the channel's socket pair, page and wake (the
//                             rings themselves are shared_channel.cc),
//                             UsableProcessors
//   files_posix.cc            the log's file, the temporary directory
//   clock_posix.cc            the local time
// Windows (windows_support.cc has what they share):
//   guarded_call_windows.cc   CallGuarded
//   library_windows.cc        library files, their search, loading, freeing,
//                             OwnDirectory, detail::ReadFileStart
//   channel_windows.cc        the system's half of the shared channel,
//                             UsableProcessors
//   child_process_windows.cc  StartChildProcess, EndChildProcess,
//                             OpenParentChannel, AwaitChildServing,
//                             StartedByThisProcess
//   files_windows.cc          the log's file, the local time, the temporary
//                             folder
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/watch_pauses.h"

namespace vdqrn {

namespace platform {

using LibraryHandle = void*;

// Loads a dynamic library by path; null when it cannot be loaded.
LibraryHandle LoadDynamicLibrary(const char* path);
// Address of an export by its plain name; null when the library lacks it.
void* FindExport(LibraryHandle library, const char* name);
// Why this thread's last LoadDynamicLibrary or LoadLibraryFile failed, in
// the loader's words (dlerror on POSIX; on Windows the system's message for
// its error number, with the number).
std::string LastLoadError();
// Whether the library file (a path as LocateLibrary gives) is already loaded
// in this process, so that loading it again runs none of its code.
bool LibraryIsLoaded(const std::string& file);
// What tells one content of a file from another at the same path (its
// identity, size and time of last change); empty when it cannot be read.
std::string FileStamp(const std::string& file);
// Where the system looked for a relative library path that LocateLibrary
// did not find, for the log: "the current directory \"/home/me\"", or the
// folders of the Windows search.
std::string LibrarySearchDescription(const char* path);
// Releases a library; the outcome is not reported.
void FreeDynamicLibrary(LibraryHandle library);
// A library whose call was cut short: nothing of it runs again in this
// process, not even at thread start or end or at exit (Windows: its entry
// point and TLS callbacks are made to return at once). It stays mapped and
// is never freed. False when the system refused part of it (the log says
// so). POSIX cuts no call short and leaves the library as it is.
bool AbandonLibrary(LibraryHandle library);
// Whether the loader resolved the library's imports (and so started it):
// false for a module the client mapped with DONT_RESOLVE_DLL_REFERENCES,
// which Windows hands back as it is to every later load of the file (its
// import table still holds the names, not the addresses). Always true on
// POSIX.
bool LibraryImportsResolved(LibraryHandle library);
// Whether AbandonLibrary was done to the library in this process, by this
// module or by an earlier load of it (the mark is in the library's own
// image, which the engine's unloading of the module leaves in place).
bool LibraryWasAbandoned(LibraryHandle library);

// Calls call(context) so that what no runtime of ours can bring back ends
// the call instead of the process. A language exception of another runtime
// (Windows: another compiler's C++ throw, Delphi's, C++Builder's) unwinds
// the library's frames as its own catch would and throws LibraryThrew: the
// library is as its own error handling left it and may be called again.
// What means the library cannot go on (an abort, an access violation, an
// illegal instruction, a stack overflow, any other failure the system
// raises) cuts the call short: false, and the library must never run again
// in this process (AbandonLibrary). The floating-point control state is put
// back on every way out. True when the call returned. Exceptions of our own
// runtime pass through unchanged on x86-64; on 32-bit Windows they cannot
// unwind past the guard's frame and end in abort(), which cuts the call
// short: `call` must only call the library and store what it returned,
// never throw itself. One guarded call at a time per process (the engine
// calls one procedure at a time). (POSIX: a plain call.)
struct LibraryThrew {};
using GuardedProcedure = void (*)(void* context);
bool CallGuarded(GuardedProcedure call, void* context);

// A library name's path in the current directory is prefix + name + suffix:
// ".\{name}.dll" on Windows, "./{name}.so" elsewhere.
extern const char kLocalLibraryPrefix[];
extern const char kLibrarySuffix[];
// The file the system loads for such a relative path, as an absolute path:
// on Windows the file the loader itself takes for the name (asked without
// running any of it, so the client's own changes to its search count), found
// in the first folder of the classic order that holds it (the program's
// folder, the one SetDllDirectory named, the system folders, the current
// directory, PATH), in UTF-8; a name Windows opens as a device, read in the
// client's code page, is never looked up. Elsewhere the current directory's
// file. Empty when there is none.
std::string LocateLibrary(const char* path);
// Loads exactly the library at the absolute path LocateLibrary gave, never
// searching again (on Windows the library's own dependencies are looked for
// in its folder first).
LibraryHandle LoadLibraryFile(const std::string& file);
// Longest path the driver forms, terminator included.
constexpr std::size_t kMaxPath = 260;

// The diagnostic log's file (a path as TempDirectory gives), opened for one
// line at a time.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;
// Opens the file for appending, creating it when missing (POSIX: readable and
// writable by the user only), and empties it when `truncate`. Windows shares
// it for reading, writing and deleting, so that an administrator can read,
// copy or delete the log while the client runs. POSIX never follows a
// symbolic link, and writes only to a regular file of the user's own with one
// link (checked at the process's first successful open): on anything else (a
// file planted in a shared folder by another user) the log stays off for the
// rest of the process. kNoFile when not opened.
FileHandle OpenLogFile(const char* path, bool truncate);
// How much of what WriteLogFile was given reached the file.
enum class LogWritten { kWhole, kNothing, kPart };
// Writes every byte in one system call where the system takes them all (a
// file opened for appending then gets them as one piece, never split by
// another process's write), continuing after a partial write until the line
// is whole or the system refuses. Windows stores each "\n" as "\r\n", as a
// text-mode stream does.
LogWritten WriteLogFile(FileHandle file, const char* bytes, std::size_t count);
void CloseLogFile(FileHandle file);

// ---- Instrument libraries of another architecture ----

// The architectures the module and its instrument host are built for: two
// machine families, each with a 32-bit and a 64-bit member.
enum class Architecture { kUnknown, kX86, kX64, kArm32, kArm64 };
// This build's.
#if defined(__x86_64__) || defined(_M_X64)
constexpr Architecture kOwnArchitecture = Architecture::kX64;
#elif defined(__i386__) || defined(_M_IX86)
constexpr Architecture kOwnArchitecture = Architecture::kX86;
#elif defined(__aarch64__)
constexpr Architecture kOwnArchitecture = Architecture::kArm64;
#elif defined(__arm__)
constexpr Architecture kOwnArchitecture = Architecture::kArm32;
#else
constexpr Architecture kOwnArchitecture = Architecture::kUnknown;
#endif
// "32-bit x86", "64-bit x86-64", "32-bit ARM", "64-bit ARM".
const char* ArchitectureName(Architecture architecture);
// Whether this build is for Windows (hosts there follow Windows' rules).
#if defined(_WIN32)
constexpr bool kOwnSystemIsWindows = true;
#else
constexpr bool kOwnSystemIsWindows = false;
#endif
// The other member of an architecture's machine family (32-bit x86 for
// x86-64 and back, 32-bit ARM for 64-bit ARM and back). kUnknown for
// kUnknown.
constexpr Architecture PeerArchitecture(Architecture architecture) {
  switch (architecture) {
    case Architecture::kX86: return Architecture::kX64;
    case Architecture::kX64: return Architecture::kX86;
    case Architecture::kArm32: return Architecture::kArm64;
    case Architecture::kArm64: return Architecture::kArm32;
    case Architecture::kUnknown: break;
  }
  return Architecture::kUnknown;
}
// Whether an instrument host runs a library of `library`'s architecture for
// a module of `module`'s: the host of the other member of the module's
// family, or of the module's own (for a library whose call was cut short).
// A 64-bit ARM module on Windows has the x86 and x86-64 hosts instead of
// a 32-bit ARM one, which Windows on ARM runs under its emulation, besides
// its own (QRNHOSTA64.EXE); no host there runs a 32-bit ARM library (none
// is shipped, and Windows 11 on ARM runs no 32-bit ARM program). Nothing
// runs kUnknown.
constexpr bool HostRunsLibrary(Architecture module, Architecture library,
                               bool windows = kOwnSystemIsWindows) {
  if (module == Architecture::kUnknown || library == Architecture::kUnknown) return false;
  if (windows && module == Architecture::kArm64) {
    return library == Architecture::kX86 || library == Architecture::kX64 || library == module;
  }
  return library == module || library == PeerArchitecture(module);
}
// Whether the system itself may load a library whose header names
// `library` into a module of `module`'s architecture: its own, and on
// Windows an ARM64 header beside an x86-64 module (an ARM64X library, which
// Windows on ARM loads into an x86-64 process; elsewhere the loader refuses
// it with its own reason).
constexpr bool SystemMayLoad(Architecture module, Architecture library,
                             bool windows = kOwnSystemIsWindows) {
  return library == module ||
         (windows && module == Architecture::kX64 && library == Architecture::kArm64);
}
// The architecture a library file (a path as LocateLibrary gives) is built
// for, from its first kHeaderBytes (the machine field of a PE or ELF header,
// whatever the system); kUnknown when it cannot be read or is none of the
// above. A PE file's machine is the one its header names: an ARM64X file
// (ARM64 code with ARM64EC code beside it) names ARM64 and loads into an
// ARM64 process; an ARM64EC one names x86-64 and loads into an x86-64
// process (emulated, on Windows on ARM).
Architecture LibraryArchitecture(const std::string& file);
constexpr std::size_t kHeaderBytes = 4096;
// The same from the first `size` bytes of a file (any bytes; nothing outside
// them is read).
Architecture ArchitectureFromHeader(const unsigned char* head, std::size_t size);
// The file name of the instrument host for an architecture, by its width:
// QRNHOST32.EXE / QRNHOST64.EXE on Windows (QRNHOSTA64.EXE for 64-bit ARM,
// whose modules have the x64 host beside them), qrnhost32 / qrnhost64
// elsewhere (the 32-bit ARM host beside a 64-bit ARM module is qrnhost32 too).
std::string HostFileName(Architecture architecture);
// The absolute folder of the binary that holds this code (the module),
// ending with a separator, as the system reports it (found when the module
// loads, never from a name relative to the current directory; UTF-8 on
// Windows, whatever its length); empty when it cannot be told. The only
// folder a host is started from.
std::string OwnDirectory();

// One end of the private two-way channel between the module and its
// instrument host: a page of memory both processes map, with a ring of bytes
// each way, and an inherited socket pair (POSIX) or pipe (Windows) that only
// wakes a side that went to sleep and tells when the other side is gone.
// While both sides are awake no byte passes through the system.
struct ChannelEnd {
  std::intptr_t wake = -1;     // our socket or pipe
  void* page = nullptr;        // the shared page, mapped here
  bool isModule = true;        // the module's end (else the host's)
  std::uint32_t sent = 0;      // bytes put into our outgoing ring so far
  std::uint32_t taken = 0;     // bytes taken from our incoming ring so far
  std::uint32_t takenSeen = 0; // the other side's count of bytes taken, as last read
  // Whether to watch the ring before sleeping in the next read: only in a
  // burst of commands, never at a human pace (shared_channel.cc).
  bool rang = false;           // our last write had to wake the other side
  bool quick = true;           // our last read's bytes came within the watch time
  // When this side may watch again: a side that lost its processor while it
  // watched sleeps at once for a while, as watching on a busy machine only
  // keeps it from being woken promptly.
  WatchPauses pauses;
  long long busyLookedAt = 0;  // when this side last asked whether the machine is busy
  // This thread's involuntary switches when this side last counted them
  // (-1: not yet): a gap while watching counts as a lost processor only when
  // another thread took it, not when the machine under a virtual one paused.
  long long switchesSeen = -1;
};
enum class ChannelOutcome { kDone, kClosed, kTimedOut, kCorrupt };
// Writes every byte, waiting for room when the other side has not taken
// what it was sent; a negative `timeoutMs` waits for as long as it takes.
ChannelOutcome WriteToChannel(ChannelEnd& end, const void* bytes, std::size_t count,
                              long timeoutMs);
// Reads what has arrived, at least one byte and at most `capacity`, within
// the time given (negative: no limit); `got` tells how many. kCorrupt: the
// other side's counters in the shared page make no sense.
ChannelOutcome ReadFromChannel(ChannelEnd& end, void* bytes, std::size_t capacity,
                               std::size_t* got, long timeoutMs);
// Whether the other side has written bytes that this side has not read
// (without waiting).
bool ChannelHasInput(ChannelEnd& end);
// How many of the bytes this side sent the other side has taken so far (as
// `sent` counts them).
std::uint32_t ChannelTakenByOtherSide(ChannelEnd& end);
// Unmaps the page and closes the socket or pipe; the other side's next wait
// ends with kClosed.
void CloseChannel(ChannelEnd& end);
// Both ends of a new channel in this process (for testing the channel).
bool OpenChannelPair(ChannelEnd* module, ChannelEnd* host);
// Test and benchmark seams. Whether channels made from now on let either
// side watch the ring before it sleeps (a host started later reads it from
// the shared page); and a procedure a read calls between counting what has
// arrived and taking it (null: none).
void SetChannelWatchingForTesting(bool watch);
void SetChannelReadPauseForTesting(void (*pause)());
// The processors this process may run on (affinity, and the CPU quota of
// its control group or job), at least 1.
unsigned UsableProcessors();

// A child process with the channel to it, nothing else inherited. The child
// never outlives this process (POSIX: see below; Windows: a job object) and
// has no window.
//
// POSIX: no thread of ours waits for it, so nothing of ours runs once the
// module is unloaded, however that happens. The started program splits in
// two (OpenParentChannel): a watcher, the parent of the serving host, which
// collects the host the moment it ends, ends the host's process group while
// the host's id is still held (never after), ends the group when the client
// process is gone (its process descriptor, not a socket a forked helper may
// hold), and tells the module how the host ended; and the host, in a process
// group of its own, which ends with the watcher. The watcher is not our child
// (a double fork): nothing is left for this process to collect (unless it
// adopts orphans, as a container's first process does: then the watcher,
// which ends right after telling how the host ended, is collected here).
struct ChildProcess {
  std::intptr_t process = -1;  // Windows: the process handle; POSIX: the host's id (-1: none)
  std::intptr_t job = -1;      // Windows: the job that ends the child with us
  long id = 0;                 // the process id, for the log
  ChannelEnd channel;          // the module's end
  // POSIX: the host's standard error until it serves (where the system's
  // loader says why it cannot run), what the watcher tells, and what it is
  // asked; and the process that started the child, the only one that may
  // touch it (a forked copy of the client holds the same numbers).
  std::intptr_t report = -1;
  std::intptr_t status = -1;
  std::intptr_t control = -1;
  long owner = 0;
  long watcher = 0;  // POSIX: the watcher's process id, once told
  bool serving = false;
  // Set by StartChildProcess: what did not hold although the child started
  // (Windows: no job object, so only the child's own watch ends it with us).
  std::string warning;
};
// Whether an ending EndChildProcess or AwaitChildServing told is the
// child's own abort() (POSIX: SIGABRT; Windows: the C runtime's exit code
// 3), and whether it is a kill or termination from outside the child, which
// says nothing of what it ran (POSIX: SIGKILL, SIGTERM, SIGINT, SIGHUP;
// Windows cannot tell).
bool EndedByAbort(const std::string& ended);
bool EndedFromOutside(const std::string& ended);
// Starts the executable (UTF-8 on Windows) with the channel's other end as
// its one argument; false with the reason when it cannot.
bool StartChildProcess(const std::string& executable, ChildProcess* child, std::string* error);
// Waits, at most `timeoutMs`, until the child serves its channel. `said`
// gets what it wrote to its standard error meanwhile (read as it comes, so a
// child that writes much never blocks). False when it ended before it
// served, or did not serve in time (it is then ended), `error` saying why.
// Windows: true at once.
bool AwaitChildServing(ChildProcess& child, long timeoutMs, std::string* said, std::string* error);
// Whether this process started the child (false in a forked copy of it,
// which must leave the child alone).
bool StartedByThisProcess(const ChildProcess& child);
// Closes our end of the channel, ends the child (and on POSIX its process
// group) when it has not ended within `graceMs`, and tells how it ended
// ("exit code 0", "signal 9"). Never waits much past `graceMs`: a child that
// cannot die at once (stuck in a device call) is collected later, by no code
// of this process. In a process that did not start the child it only lets go
// of this process's copies.
std::string EndChildProcess(ChildProcess& child, long graceMs);

// The child's side: the channel's end named by the argument the parent gave,
// kept from any process this one starts. Arranges for this process to end
// with its parent; false when the argument names no channel. (POSIX: the
// watcher never returns from here; only the host does.)
bool OpenParentChannel(const char* argument, ChannelEnd* end);

struct LocalTime {
  int year;
  int month;  // 1 to 12
  int day;    // 1 to 31
  int hour;   // 0 to 23
  int minute;
  int second;
};

// The local date and time (or the test clock, when one is set).
LocalTime CurrentLocalTime();

// The user's temporary directory, always ending with a separator; on Windows
// "c:\" when the system cannot tell it, and in UTF-8 (any folder name). A
// test directory, when set, wins.
std::string TempDirectory();
// The same into a buffer of kTempDirectoryBuffer bytes, with a terminator;
// returns its length. Allocates nothing: the log reads it for every line.
// (A path of kMaxPath UTF-16 units takes up to three bytes each in UTF-8.)
constexpr std::size_t kTempDirectoryBuffer = 3 * kMaxPath + 1;
std::size_t TempDirectory(char* buffer);

// Test seams: a fixed clock and a temporary directory of the test's own.
// Null / empty restores the system's.
using ClockFunction = LocalTime (*)();
void SetClockForTesting(ClockFunction clock);
void SetTempDirectoryForTesting(const std::string& directory);
// Lets the system take at most `bytes` bytes per write of the log (0: every
// write is refused); a negative value restores the system's own behaviour.
void SetLogWriteLimitForTesting(long bytes);
// Lets the file system take only `bytes` more bytes of the log in all, as a
// file system that fills up (a write that does not fit writes what fits);
// a negative value: no limit.
void SetLogSpaceForTesting(long bytes);
// Lets the log be written again after OpenLogFile refused its file, and
// checks the next file it opens.
void ResetLogRefusalForTesting();

namespace detail {
// Implemented once per operating system.
LocalTime SystemLocalTime();
// Fills a buffer of kTempDirectoryBuffer bytes as TempDirectory does.
std::size_t SystemTempDirectory(char* buffer);
// Reads at most `capacity` bytes from the start of a file (a path as
// LocateLibrary gives); how many it read, 0 when it cannot.
std::size_t ReadFileStart(const std::string& file, unsigned char* bytes, std::size_t capacity);
// The bytes one system write of the log may take of `count` (the test
// limit, when one is set); 0 stands for a refused write.
std::size_t LogWriteAllowance(std::size_t count);
// Of a write's allowance, what the simulated free space takes (and uses up).
std::size_t LogSpaceAllowance(std::size_t count);
}  // namespace detail

}  // namespace platform

}  // namespace vdqrn
