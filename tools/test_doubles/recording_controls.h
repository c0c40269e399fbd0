// The recording instrument library's controls, reached from the process that
// loads it: the library is loaded under the path the driver uses, so that both
// reach the same instance, and what a test scripts here the driver's calls get.
// The one wrapper of the recording library's exports for tests and fuzzers.
#pragma once

#include <string>

#include "platform/platform.h"

namespace vdqrn {

class RecordingLibrary {
 public:
  // What every entry point does after recording its call.
  enum Throw {
    kNothing = 0,
    kInt = 1,             // throws an int: not a class
    kRuntimeError = 2,    // std::runtime_error("recorded failure")
    kUnrelatedClass = 3,  // a class outside the standard family
    kNullWhat = 4,        // a standard exception whose what() is null
    // Windows only, as a library built with another compiler behaves:
    kForeign = 5,         // its C++ throw, the exception 0xE06D7363
    kAbort = 6,           // abort()
    kCrash = 7,           // a write through a null pointer: the process ends
    kHang = 8,            // the call never returns
    // POSIX only: starts a process that sleeps a minute (its id in the
    // shared state folder's file "spawned"), then returns.
    kSpawn = 9,
    // Windows only, as libraries of other runtimes behave:
    kDelphi = 10,          // the Delphi runtime's exception 0x0EEDFADE
    kBuilder = 11,         // the C++Builder runtime's exception 0x0EEFFACE
    // Take the library's lock, which every later call and the library's
    // thread and exit notifications wait for; then abort or crash (the lock
    // stays held), or throw as another compiler does from a frame whose
    // unwinding gives the lock back.
    kLockAndAbort = 12,
    kLockAndThrowForeign = 13,
    kLockAndCrash = 14,
    kIllegalInstruction = 15,
    kCaughtInside = 16,  // throws and catches "recorded failure" itself, then returns
  };

  // Loads the library (recordingspectro, or a copy of it under another
  // name) and resets its script.
  explicit RecordingLibrary(const std::string& name = "recordingspectro");
  ~RecordingLibrary();
  RecordingLibrary(const RecordingLibrary&) = delete;
  RecordingLibrary& operator=(const RecordingLibrary&) = delete;

  bool IsLoaded() const { return library_ != nullptr; }
  // The script back to its defaults, the journal emptied.
  void Reset();
  // "Name(args)\n" for every call since the last reset.
  std::string Journal();
  void SetBool(bool value);
  // The byte the bool entry points return: any non-zero byte counts as true.
  void SetBoolByte(unsigned char low);
  void SetInt(int value);
  void SetFloat(float value);
  void SetText(const char* text);  // null: every text entry point returns null
  void SetThrow(Throw kind);
  // Windows: Connect opens this file for itself alone from then on (as a
  // serial port) and returns false when another holds it.
  void SetExclusiveFile(const std::string& path);
  // A procedure the next entry point calls during its call (once), as a
  // library that pumps messages lets the engine deliver data meanwhile.
  void SetReentry(void (*reentry)());

 private:
  // The named control; throws std::runtime_error when the library lacks it.
  template <typename Procedure>
  Procedure Find(const char* name) const;

  platform::LibraryHandle library_;
};

// The name a test loads the recording library by. On Windows each call
// makes a copy of its own (in a folder beside the binaries, folder part
// included in the name): a library whose call was cut short stays
// abandoned, and runs in a host, for the rest of the process, whichever
// module loads it, so a later test must not meet it. Elsewhere
// "recordingspectro".
std::string OwnCopyOfRecordingLibrary();

}  // namespace vdqrn
