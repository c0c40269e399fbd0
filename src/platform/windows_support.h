// What the Windows files of the platform layer share: text and path
// conversions, the system's error text, the floating-point control state,
// and the channel's system objects a host is started with.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vdqrn {
namespace platform {
namespace windows {

// Text in the given code page as UTF-16, and back to UTF-8.
std::wstring Widen(const std::string& text, UINT codePage);
std::string Utf8(const std::wstring& text);
// The code page the file functions read narrow names in (LoadLibraryA's):
// the ANSI code page, or the OEM one after SetFileApisToOEM.
UINT FileApiCodePage();
// Makes FileApiCodePage answer `codePage` (0: the system's again).
void SetFileApiCodePageForTesting(UINT codePage);

// An absolute path as the file functions take it at any length: past
// MAX_PATH only with the "\\?\" prefix.
std::wstring ForFileSystem(std::wstring path);

// What a function that fills a buffer of wide characters and tells the
// length (or the size it needs) gives, at any length; empty when it fails.
template <typename Fill>
std::wstring WideAnswer(Fill fill) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::wstring();
    if (length < buffer.size()) return buffer.substr(0, length);
    buffer.assign(static_cast<std::size_t>(length) + 1 > 2 * buffer.size()
                      ? static_cast<std::size_t>(length) + 1
                      : 2 * buffer.size(),
                  L'\0');
  }
  return std::wstring();
}

// The full path of a loaded module (null: the program), at any length.
std::wstring ModulePath(HMODULE module);
std::wstring FolderOf(const std::wstring& file);

// "{what} (error {GetLastError()})".
std::string SystemError(const char* what);

// The floating-point control state, which a library may change (some
// runtimes unmask floating-point exceptions, or set another rounding mode or
// flush-to-zero) and a cut-short call may leave changed (on x86 with the x87
// register stack half full). On 64-bit ARM: FPCR, and FPSR's sticky flags.
#if defined(__aarch64__)
struct FloatingPointState {
  std::uint64_t control;
  std::uint64_t status;
};

inline FloatingPointState SaveFloatingPointState() {
  FloatingPointState state{};
  asm volatile("mrs %0, fpcr" : "=r"(state.control));
  asm volatile("mrs %0, fpsr" : "=r"(state.status));
  return state;
}

inline void RestoreFloatingPointState(const FloatingPointState& state) {
  asm volatile("msr fpcr, %0" : : "r"(state.control));
  asm volatile("msr fpsr, %0" : : "r"(state.status));
}

// ARM has no register stack that a cut-short call could leave half full.
inline void ResetFloatingPointRegisters() {}
#else
struct FloatingPointState {
  std::uint16_t x87Control;
  std::uint32_t sseControl;
};

inline FloatingPointState SaveFloatingPointState() {
  FloatingPointState state{};
  asm volatile("fnstcw %0" : "=m"(state.x87Control));
  asm volatile("stmxcsr %0" : "=m"(state.sseControl));
  return state;
}

inline void RestoreFloatingPointState(const FloatingPointState& state) {
  asm volatile("fnclex");
  asm volatile("fldcw %0" : : "m"(state.x87Control));
  asm volatile("ldmxcsr %0" : : "m"(state.sseControl));
}

// Empties the x87 register stack a cut-short call may have left half full
// (the control word is restored afterwards).
inline void ResetFloatingPointRegisters() { asm volatile("fninit"); }
#endif

// The channel's system objects (channel_windows.cc), for starting a host:
// a pipe of one instance under a name no one can guess, open to our user
// only, that this process connects to at once (and checks that it was this
// process that connected); `ours` overlapped, `theirs` for the host, and a
// mapping of the shared page. None of them is inheritable.
bool CreateChannel(HANDLE* ours, HANDLE* theirs, HANDLE* mapping, std::string* error);
// Maps the page into `end`.
bool MapChannel(HANDLE mapping, HANDLE wake, bool isModule, ChannelEnd* end);

}  // namespace windows
}  // namespace platform
}  // namespace vdqrn
