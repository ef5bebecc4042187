#include "agent/sources/fault_guard_windows.h"

#include <malloc.h>  // _resetstkoflw
#include <windows.h>

extern "C" {
// The guarded frame, written below: calls fn(arg) with the handler attached to its own frame
// through its unwind information, returns 0, or the fault code when the handler unwound to it.
uint32_t tunelightGuardFrame(void (*fn)(void*), void* arg);
// Where an unwind after a fault resumes inside tunelightGuardFrame (RAX holds the fault code).
extern char tunelightGuardResume[];
EXCEPTION_DISPOSITION tunelightGuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                            void* dispatch);
}

// GCC has no __try/__except, so the frame that owns the handler is written by hand: a call with
// the Windows x64 prologue (shadow space, 16-byte alignment) and unwind information that names
// tunelightGuardHandler as its exception handler. It saves every register the callee must
// preserve and restores them on the way out.
asm(R"(
  .text
  .globl tunelightGuardFrame
  .def tunelightGuardFrame; .scl 2; .type 32; .endef
  .seh_proc tunelightGuardFrame
tunelightGuardFrame:
  pushq %rbp
  .seh_pushreg %rbp
  pushq %rbx
  .seh_pushreg %rbx
  pushq %rdi
  .seh_pushreg %rdi
  pushq %rsi
  .seh_pushreg %rsi
  pushq %r12
  .seh_pushreg %r12
  pushq %r13
  .seh_pushreg %r13
  pushq %r14
  .seh_pushreg %r14
  pushq %r15
  .seh_pushreg %r15
  subq $200, %rsp
  .seh_stackalloc 200
  movaps %xmm6, 32(%rsp)
  .seh_savexmm %xmm6, 32
  movaps %xmm7, 48(%rsp)
  .seh_savexmm %xmm7, 48
  movaps %xmm8, 64(%rsp)
  .seh_savexmm %xmm8, 64
  movaps %xmm9, 80(%rsp)
  .seh_savexmm %xmm9, 80
  movaps %xmm10, 96(%rsp)
  .seh_savexmm %xmm10, 96
  movaps %xmm11, 112(%rsp)
  .seh_savexmm %xmm11, 112
  movaps %xmm12, 128(%rsp)
  .seh_savexmm %xmm12, 128
  movaps %xmm13, 144(%rsp)
  .seh_savexmm %xmm13, 144
  movaps %xmm14, 160(%rsp)
  .seh_savexmm %xmm14, 160
  movaps %xmm15, 176(%rsp)
  .seh_savexmm %xmm15, 176
  .seh_endprologue
  movq %rcx, %rax
  movq %rdx, %rcx
  callq *%rax
  xorl %eax, %eax
  .globl tunelightGuardResume
tunelightGuardResume:
  movaps 32(%rsp), %xmm6
  movaps 48(%rsp), %xmm7
  movaps 64(%rsp), %xmm8
  movaps 80(%rsp), %xmm9
  movaps 96(%rsp), %xmm10
  movaps 112(%rsp), %xmm11
  movaps 128(%rsp), %xmm12
  movaps 144(%rsp), %xmm13
  movaps 160(%rsp), %xmm14
  movaps 176(%rsp), %xmm15
  addq $200, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rsi
  popq %rdi
  popq %rbx
  popq %rbp
  ret
  .seh_handler tunelightGuardHandler, @except
  .seh_endproc
)");

namespace {

bool isProcessorFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
      return true;
    default:
      return false;
  }
}

}  // namespace

// Called by the system's exception dispatcher only for exceptions raised below a guarded frame
// on its own thread, after every nearer handler has declined.
extern "C" EXCEPTION_DISPOSITION tunelightGuardHandler(EXCEPTION_RECORD* record, void* frame,
                                                       CONTEXT*, void* dispatch) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
    return ExceptionContinueSearch;
  }
  const DWORD code = record->ExceptionCode;
  if (!isProcessorFault(code)) return ExceptionContinueSearch;
  // The system's unwind back to the guarded frame runs the termination handlers of the frames
  // in between, as leaving an __except block would; after a stack overflow it runs in the stack
  // kept in reserve.
  auto* d = static_cast<DISPATCHER_CONTEXT*>(dispatch);
  RtlUnwindEx(frame, tunelightGuardResume, record, reinterpret_cast<void*>(ULONG_PTR{code}),
              d->ContextRecord, d->HistoryTable);
  return ExceptionContinueSearch;  // not reached: RtlUnwindEx resumes in the guarded frame
}

namespace tunelight {

// Stack kept in reserve below the guard page of a thread that makes guarded calls: after an
// overflow, the dispatch of the fault, the handler and the unwind all run in it.
constexpr ULONG kStackGuarantee = 64 * 1024;

uint32_t guardedInvoke(void (*fn)(void*), void* arg) {
  static thread_local bool reserved = false;
  if (!reserved) {
    ULONG size = kStackGuarantee;
    reserved = SetThreadStackGuarantee(&size) != FALSE;
  }
  uint32_t code = tunelightGuardFrame(fn, arg);
  // The overflow used up the guard page below the stack; without a new one the next overflow
  // would end the process instead of reaching the handler.
  if (code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
  return code;
}

}  // namespace tunelight
