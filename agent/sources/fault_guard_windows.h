#pragma once

// Fault guard for raw calls into platform code (Windows on x86-64).
//
// guardedCall(f) runs f under a frame-based structured exception handler, the same mechanism as
// an __except block. f must be a small callable that makes one raw ABI call (an interface method,
// a system function) and writes the call's HRESULT and out-values into plain locals of its caller;
// wrapping results, taking ownership and converting them happen after guardedCall returns.
//
// When a processor fault (access violation, division by zero, ...) is raised below the handler on
// the calling thread, the system's unwinder (RtlUnwindEx) takes the stack back to guardedCall,
// running the termination handlers of system code on the way, and guardedCall returns the
// fault's code. A stack overflow is unwound the same way, in the reserve below the guard page;
// the guard page is then re-armed (_resetstkoflw) so that the next overflow is caught as well.
//
// What the guard contains:
// - faults raised by the called code on the calling thread while it runs inside f;
// - any number of them in a row: a caught fault leaves no handle, lock or memory of the guard's
//   own behind;
// - stack overflows, given the stack layout of Windows: a guard page above the reserve that the
//   first guarded call of a thread asks for with SetThreadStackGuarantee. (Wine 8 commits a
//   thread's whole stack with the guard page at its very bottom; an overflow there ends the
//   thread before any handler runs.)
// What the guard leaves alone:
// - faults that a handler nearer to them handles (system code that probes memory under its own
//   __try), and every exception that is not a processor fault (C++ throws pass through);
// - faults on other threads and faults outside a guarded call: they end the process as before;
// - the state of the code that faulted: a lock it held stays held, memory it allocated leaks,
//   and frames built without termination handlers (GCC's) are skipped without running their
//   destructors. Out-values the call wrote before it faulted must be dropped, not used, and the
//   code that faulted must not be called again in this process (its next call may wait forever
//   for the lock it still holds): the caller stops calling into it and asks for a restart.
// f's body runs in a frame that the unwind abandons: the guarded body may create nothing with a
// destructor (no temporary string, no owning pointer, no lock guard).

#include <cstdint>

namespace tunelight {

// Runs fn(arg) under the guard; 0 when it returned, else the code of the fault that ended it.
uint32_t guardedInvoke(void (*fn)(void*), void* arg);

template <typename F>
uint32_t guardedCall(F& f) {
  return guardedInvoke([](void* p) { (*static_cast<F*>(p))(); }, &f);
}

}  // namespace tunelight
