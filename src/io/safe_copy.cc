#include "io/safe_copy.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

namespace vostrel {
namespace {

struct Guard {
  sigjmp_buf jump;
};

// The guard of the copy running on this thread, or nullptr. Initial-exec, so
// that reading it in the signal handler never allocates.
[[gnu::tls_model("initial-exec")]] thread_local Guard* armed = nullptr;

// Each installation of our handler goes into the next of kSlots slots, with a
// handler function of its own, and remembers the handler it replaced. Another
// library may save our handler and put it back later (Python's faulthandler
// does so on disable()); what it puts back is then the handler function of
// that earlier installation, so a fault outside our copies is handed on to the
// handler that installation replaced: exactly the one that would be in place
// had vostrel never been loaded. A single "last replaced" record would hand
// it to faulthandler's own handler, by then a no-op, and the retried fault
// would spin forever.
constexpr std::size_t kSlots = 64;
struct sigaction replaced[kSlots] = {};  // written under install_lock, before the slot's handler is installed
std::size_t next_slot = 0;
std::atomic<bool> handing_on{false};
std::mutex install_lock;

// A fault outside any guarded copy: ours steps aside for the handler it
// replaced. A fault of the hardware kind is then simply taken again when the
// faulting access is retried on return; a signal that was sent is sent again.
// Should the signal come back to us while handing on (a handler that restores
// ours before raising it again), the default action ends the process, as
// without any handler.
void hand_on(int signal, const siginfo_t* info, const struct sigaction& previous) {
  if (handing_on.exchange(true)) {
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  ::sigaction(signal, &previous, nullptr);
  if (info != nullptr && info->si_code > 0) return;
  ::raise(signal);
}

template <std::size_t Slot>
void on_sigbus(int signal, siginfo_t* info, void*) {
  if (Guard* guard = armed) {
    armed = nullptr;
    ::siglongjmp(guard->jump, 1);
  }
  hand_on(signal, info, replaced[Slot]);
}

using Handler = void (*)(int, siginfo_t*, void*);

template <std::size_t... Slot>
constexpr std::array<Handler, kSlots> make_handlers(std::index_sequence<Slot...>) {
  return {&on_sigbus<Slot>...};
}
constexpr std::array<Handler, kSlots> kHandlers = make_handlers(std::make_index_sequence<kSlots>());

bool ours(const struct sigaction& action) noexcept {
  if ((action.sa_flags & SA_SIGINFO) == 0) return false;
  return std::find(kHandlers.begin(), kHandlers.end(), action.sa_sigaction) != kHandlers.end();
}

constexpr std::size_t kPage = 4096;

}  // namespace

void prepare_fault_guard() noexcept {
  struct sigaction current {};
  if (::sigaction(SIGBUS, nullptr, &current) != 0 || ours(current)) return;
  const std::lock_guard lock(install_lock);
  // Checked again under the lock: another thread may have just installed it.
  if (::sigaction(SIGBUS, nullptr, &current) != 0 || ours(current)) return;
  // The slot is filled before its handler can run: `current` is what the
  // installation below replaces, unless another library changes it in
  // between, a race that no process-wide handler can close.
  const std::size_t slot = next_slot;
  next_slot = (next_slot + 1) % kSlots;
  replaced[slot] = current;
  struct sigaction handler {};
  handler.sa_sigaction = kHandlers[slot];
  handler.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&handler.sa_mask);
  if (::sigaction(SIGBUS, &handler, nullptr) != 0) return;
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
