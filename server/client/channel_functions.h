// The platform's virtual channel functions (WFVirtualChannelOpen and the
// rest), found at run time in the system's library for the caller's
// architecture, so that a program using them starts on a machine without
// them and can say what is missing.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32) && !defined(_WIN64)
#define QRN_CHANNEL_CALL __stdcall
#else
#define QRN_CHANNEL_CALL
#endif

namespace qrnclient {

using ChannelHandle = void*;
// DWORD and ULONG: 32 bits on every Windows target.
using ChannelWord = std::uint32_t;

// The server and session that name the caller's own.
constexpr ChannelHandle kCurrentServer = nullptr;
constexpr ChannelWord kCurrentSession = 0xFFFFFFFFu;
// A read's time-out that waits until data arrives.
constexpr ChannelWord kWaitForever = 0xFFFFFFFFu;

struct ChannelFunctions {
  using Open = ChannelHandle(QRN_CHANNEL_CALL*)(ChannelHandle server, ChannelWord session,
                                                char* name);
  using Close = int(QRN_CHANNEL_CALL*)(ChannelHandle channel);
  using Read = int(QRN_CHANNEL_CALL*)(ChannelHandle channel, ChannelWord timeoutMs, char* buffer,
                                      ChannelWord capacity, ChannelWord* bytesRead);
  using Write = int(QRN_CHANNEL_CALL*)(ChannelHandle channel, char* bytes, ChannelWord length,
                                       ChannelWord* bytesWritten);
  using PurgeInput = int(QRN_CHANNEL_CALL*)(ChannelHandle channel);

  Open open = nullptr;
  Close close = nullptr;
  Read read = nullptr;
  Write write = nullptr;
  PurgeInput purgeInput = nullptr;
  // The reason of the calling thread's last failed call.
  std::uint32_t (*lastError)() = nullptr;
};

// The system library that holds the functions for this architecture:
// wfapi64.dll, wfapi.dll, or the stand-in's libwfapi.so on Linux (found in
// the folder of the binary that asks first: the library's RUNPATH is
// $ORIGIN).
const char* ChannelLibraryName();

struct LoadedChannelFunctions {
  bool ok = false;
  ChannelFunctions functions;
  // When not ok: what is missing, in words (the library, or a function in
  // it), and the platform's error number of a failed load.
  std::string problem;
  std::uint32_t systemError = 0;
};

// Loads the system library (kept loaded for the life of the process) and
// finds every function in it.
LoadedChannelFunctions LoadChannelFunctions();

}  // namespace qrnclient
