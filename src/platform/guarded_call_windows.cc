// Windows: library calls guarded against what the library raises and no
// runtime of ours can catch (platform::CallGuarded).
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <mutex>

#include "platform/platform.h"
#include "platform/windows_support.h"

namespace vdqrn {

using platform::windows::FloatingPointState;
using platform::windows::ResetFloatingPointRegisters;
using platform::windows::RestoreFloatingPointState;
using platform::windows::SaveFloatingPointState;

// CallGuarded: a small trampoline in assembly calls the library inside a frame
// whose exception handler is ours. The system asks that handler only about
// exceptions that nothing inside the library handled, so a library that
// throws and catches its own exceptions is left alone. Two kinds end the call
// there: a language exception of another runtime (another compiler's C++
// `throw`, Delphi's, C++Builder's), thrown on purpose, and what means the
// library cannot go on (an abort, an access violation, an illegal
// instruction, a stack overflow, any other exception of error severity). For
// both the handler unwinds the library's frames the system's way, as the
// library's own catch would (its own frames' cleanups run), and resumes in
// the trampoline, which returns 1; the scope says which kind it was. Our own
// compiler's exceptions (not of error severity) and the system's warnings and
// notes (a breakpoint, a debugger's message) are passed on: on x86-64 ours
// reach the caller's catch as usual.
//
// On 32-bit x86 a library built with our own compiler cannot throw into our
// frames at all (each module unwinds with its own tables and sees no other
// module's frames): its runtime ends such a throw in abort(). While a library
// call runs, SIGABRT of the shared C runtime raises an exception of ours
// instead, which the same handler catches.
extern "C" {
struct VdqrnGuardedCall {
  platform::GuardedProcedure call;
  void* context;
};
int vdqrn_guarded_call(VdqrnGuardedCall* call);
EXCEPTION_DISPOSITION vdqrn_guard_handler(EXCEPTION_RECORD* record, void* frame,
                                          CONTEXT* context, void* dispatcher);
void vdqrn_guard_resume();
#if !defined(_WIN64)
[[noreturn]] void vdqrn_guard_unwind(void* frame, EXCEPTION_RECORD* record);
#endif
}

#if defined(__x86_64__)
// int vdqrn_guarded_call(VdqrnGuardedCall* call): calls call->call(call->context)
// with vdqrn_guard_handler as the frame's exception handler. Returns 0, or 1
// when the handler resumed at vdqrn_guard_resume (RtlUnwindEx sets rax).
asm(R"(
    .text
    .globl vdqrn_guarded_call
    .def vdqrn_guarded_call; .scl 2; .type 32; .endef
    .seh_proc vdqrn_guarded_call
vdqrn_guarded_call:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler vdqrn_guard_handler, @except, @unwind
    movq 8(%rcx), %rdx
    movq (%rcx), %rax
    movq %rdx, %rcx
    callq *%rax
    xorl %eax, %eax
    .globl vdqrn_guard_resume
vdqrn_guard_resume:
    addq $40, %rsp
    ret
    .seh_endproc
)");
#elif defined(__aarch64__)
// The same on 64-bit ARM: the frame saves the frame pointer and the link
// register (its unwind codes say so, for the system's unwinder); the handler
// is asked both while the exception is dispatched and while frames are
// unwound (ARM64 has no flags to choose). RtlUnwindEx resumes at
// vdqrn_guard_resume with x0 = 1 and the frame's own stack pointer.
asm(R"(
    .text
    .globl vdqrn_guarded_call
    .def vdqrn_guarded_call; .scl 2; .type 32; .endef
    .p2align 2
    .seh_proc vdqrn_guarded_call
vdqrn_guarded_call:
    stp x29, x30, [sp, #-16]!
    .seh_save_fplr_x 16
    mov x29, sp
    .seh_set_fp
    .seh_endprologue
    .seh_handler vdqrn_guard_handler, @except, @unwind
    ldr x1, [x0]
    ldr x0, [x0, #8]
    blr x1
    mov w0, #0
    .globl vdqrn_guard_resume
vdqrn_guard_resume:
    .seh_startepilogue
    ldp x29, x30, [sp], #16
    .seh_save_fplr_x 16
    .seh_endepilogue
    ret
    .seh_endproc
)");
#else
// The same on 32-bit x86, where the handler is an exception registration
// record on the stack, linked into the thread's chain at fs:0 for the call.
// The record's address is the frame the handler gets; the handler unwinds to
// it and resumes with the stack pointer at the record.
asm(R"(
    .text
    .globl _vdqrn_guarded_call
_vdqrn_guarded_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl $_vdqrn_guard_handler
    pushl %fs:0
    movl %esp, %fs:0
    movl 8(%ebp), %eax
    pushl 4(%eax)
    call *(%eax)
    addl $4, %esp
    xorl %eax, %eax
    .globl _vdqrn_guard_resume
_vdqrn_guard_resume:
    popl %ecx
    movl %ecx, %fs:0
    addl $4, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

# void vdqrn_guard_unwind(void* frame, EXCEPTION_RECORD* record): unwinds every
# registration above the frame (RtlUnwind keeps only ebp and esp), then
# resumes the trampoline at its record with eax = 1.
    .globl _vdqrn_guard_unwind
_vdqrn_guard_unwind:
    movl 4(%esp), %ebp
    movl 8(%esp), %eax
    pushl $0
    pushl %eax
    pushl $1f
    pushl %ebp
    call _RtlUnwind@16
1:  movl %ebp, %esp
    movl $1, %eax
    jmp _vdqrn_guard_resume
)");
#endif

namespace {

// What another compiler's runtime raises for a C++ `throw`, and what the
// Delphi and C++Builder runtimes raise for their exceptions.
constexpr DWORD kForeignCxxException = 0xE06D7363;
constexpr DWORD kDelphiException = 0x0EEDFADE;
constexpr DWORD kBuilderCxxException = 0x0EEFFACE;
// Raised by our SIGABRT handler while a library call runs.
constexpr DWORD kLibraryAbort = 0xE0514E01;

bool IsLanguageException(DWORD code) {
  return code == kForeignCxxException || code == kDelphiException || code == kBuilderCxxException;
}
// A language exception, or one of error severity: the two top bits of the
// code set (access violations, illegal instructions, stack overflows,
// fast-fails, the codes programs raise for their failures; our own
// compiler's exceptions are not).
bool EndsTheCall(DWORD code) {
  return IsLanguageException(code) || (code & 0xC0000000u) == 0xC0000000u;
}

// One guarded call on this thread, from its start until it is left on any
// way out: returned, cut short, or unwound past by an exception of our own
// runtime or an outer handler's unwind.
struct GuardScope {
  GuardScope* outer;
  FloatingPointState floatingPoint;
  bool active;
  DWORD ended;  // the code of the exception that ended the call
};
thread_local GuardScope* t_scope = nullptr;

using SignalHandler = void (*)(int);

// What the process had before the first guarded call began, put back when
// the last one ends: the C runtime's SIGABRT handler and its error output.
std::mutex g_processStateMutex;
int g_activeGuards = 0;
std::atomic<SignalHandler> g_clientAbortHandler{SIG_DFL};
int g_clientErrorMode = _OUT_TO_DEFAULT;

// Only the thread that is inside a guarded call turns an abort into an
// exception that ends the call; an abort on any other thread (a library's
// worker) goes where it would have gone without us.
void OnAbort(int signal) {
  if (t_scope != nullptr && t_scope->active) {
    RaiseException(kLibraryAbort, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  }
  const SignalHandler client = g_clientAbortHandler.load();
  if (client != SIG_DFL && client != SIG_IGN && client != SIG_ERR) client(signal);
}

void EnterGuard(GuardScope& scope) {
  scope.outer = t_scope;
  scope.floatingPoint = SaveFloatingPointState();
  scope.active = true;
  scope.ended = 0;
  {
    const std::lock_guard<std::mutex> lock(g_processStateMutex);
    const SignalHandler previous = std::signal(SIGABRT, &OnAbort);
    if (g_activeGuards++ == 0) {
      g_clientAbortHandler = previous;
      // The runtime's abort message goes to standard error, never to a
      // modal box that would hold the engine's thread.
      g_clientErrorMode = _set_error_mode(_OUT_TO_STDERR);
    }
  }
  t_scope = &scope;
}

// Puts back the process's state the call may have changed; once, whichever
// way out comes first. (The control words are the caller's to load: an
// unwind brings back those of the frame it resumes in.)
void LeaveGuard(GuardScope& scope) {
  if (!scope.active) return;
  scope.active = false;
  t_scope = scope.outer;
  const std::lock_guard<std::mutex> lock(g_processStateMutex);
  if (--g_activeGuards == 0) {
    const SignalHandler client = g_clientAbortHandler.load();
    std::signal(SIGABRT, client == SIG_ERR ? SIG_DFL : client);
    _set_error_mode(g_clientErrorMode);
  } else {
    std::signal(SIGABRT, &OnAbort);
  }
}

}  // namespace

extern "C" EXCEPTION_DISPOSITION vdqrn_guard_handler(EXCEPTION_RECORD* record, void* frame,
                                                     CONTEXT* /*context*/, void* dispatcher) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    // An unwind passes (or ends at) the trampoline's frame: the call is over.
    if (t_scope != nullptr) LeaveGuard(*t_scope);
    return ExceptionContinueSearch;
  }
  GuardScope* const scope = t_scope;
  if (scope == nullptr || !EndsTheCall(record->ExceptionCode)) return ExceptionContinueSearch;
  scope->ended = record->ExceptionCode;
#if defined(_WIN64)
  auto* const dispatch = static_cast<DISPATCHER_CONTEXT*>(dispatcher);
  RtlUnwindEx(frame, reinterpret_cast<void*>(&vdqrn_guard_resume), record,
              reinterpret_cast<void*>(1), dispatch->ContextRecord, dispatch->HistoryTable);
  return ExceptionContinueSearch;  // not reached
#else
  (void)dispatcher;
  vdqrn_guard_unwind(frame, record);
#endif
}

namespace platform {

bool CallGuarded(GuardedProcedure call, void* context) {
  VdqrnGuardedCall guarded{call, context};
  GuardScope scope;
  EnterGuard(scope);
  // An exception of our own runtime passes through; the scope is left on
  // the way (here, or already by the trampoline's handler), and the control
  // words are loaded on every way out.
  struct Leave {
    GuardScope& scope;
    ~Leave() {
      LeaveGuard(scope);
      RestoreFloatingPointState(scope.floatingPoint);
    }
  } leave{scope};
  if (vdqrn_guarded_call(&guarded) == 0) return true;
  ResetFloatingPointRegisters();
  // The guard page the overflow used up is put back, so that the next
  // overflow is an exception again rather than the end of the process.
  if (scope.ended == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
  if (IsLanguageException(scope.ended)) throw LibraryThrew();
  return false;
}

}  // namespace platform

}  // namespace vdqrn
