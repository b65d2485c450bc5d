#include "io/safe_copy.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace vostrel {
namespace {

struct Guard {
  sigjmp_buf jump;
};

// The guard of the copy running on this thread, or nullptr. Initial-exec, so
// that reading it in the signal handler never allocates.
[[gnu::tls_model("initial-exec")]] thread_local Guard* armed = nullptr;

struct sigaction replaced {};  // the handler ours replaced, for faults not ours
std::atomic<bool> handing_on{false};
std::mutex install_lock;

// A fault outside any guarded copy: ours steps aside for the handler it
// replaced. A fault of the hardware kind is then simply taken again when the
// faulting access is retried on return; a signal that was sent is sent again.
// Should the signal come back to us while handing on (a handler that restores
// ours before raising it again), the default action ends the process, as
// without any handler.
void hand_on(int signal, const siginfo_t* info) {
  if (handing_on.exchange(true)) {
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  ::sigaction(signal, &replaced, nullptr);
  if (info != nullptr && info->si_code > 0) return;
  ::raise(signal);
}

void on_sigbus(int signal, siginfo_t* info, void*) {
  if (Guard* guard = armed) {
    armed = nullptr;
    ::siglongjmp(guard->jump, 1);
  }
  hand_on(signal, info);
}

bool ours(const struct sigaction& action) noexcept {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == on_sigbus;
}

constexpr std::size_t kPage = 4096;

}  // namespace

void prepare_fault_guard() noexcept {
  struct sigaction current {};
  if (::sigaction(SIGBUS, nullptr, &current) != 0 || ours(current)) return;
  const std::lock_guard lock(install_lock);
  struct sigaction handler {};
  handler.sa_sigaction = on_sigbus;
  handler.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&handler.sa_mask);
  struct sigaction previous {};
  if (::sigaction(SIGBUS, &handler, &previous) != 0) return;
  if (!ours(previous)) replaced = previous;
  handing_on = false;
}

std::size_t copy_from_mapping(char* dst, const char* src, std::size_t n) noexcept {
  Guard guard;
  volatile std::size_t done = 0;
  if (sigsetjmp(guard.jump, 0) != 0) return done;  // a page was lost; the handler disarmed
  armed = &guard;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  while (done < n) {
    const std::size_t at = done;
    const auto address = reinterpret_cast<std::uintptr_t>(src + at);
    const std::size_t to_page_end = kPage - address % kPage;
    const std::size_t chunk = n - at < to_page_end ? n - at : to_page_end;
    std::memcpy(dst + at, src + at, chunk);
    done = at + chunk;
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  armed = nullptr;
  return n;
}

}  // namespace vostrel
