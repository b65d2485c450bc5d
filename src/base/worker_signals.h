#pragma once
// Worker threads leave asynchronous signals to the thread that started them.
//
// The kernel delivers a signal sent to the process (Ctrl-C's SIGINT, SIGTERM)
// to any one thread that does not block it. Python runs its handlers on the
// main thread only, and only once that thread gets the interpreter back: a
// SIGINT taken by a worker thread sets Python's flag but leaves the main
// thread blocked where it is (in a write to a full pipe, say), so Ctrl-C would
// wait for that write. A worker that blocks them makes the kernel deliver them
// to the main thread, whose blocked system call then returns EINTR at once.
// Faults (SIGBUS, SIGSEGV, SIGFPE, SIGILL) are the thread's own and stay
// unblocked.

#include <pthread.h>

#include <csignal>

namespace vostrel {

// Call first thing in a worker thread's function.
inline void leave_signals_to_main_thread() noexcept {
  sigset_t set;
  sigfillset(&set);
  for (const int fault : {SIGBUS, SIGSEGV, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&set, fault);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace vostrel
