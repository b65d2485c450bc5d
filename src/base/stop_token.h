#pragma once
// How the caller of a long walk ends it early. A directory of 100,000 files or
// a log of gigabytes takes a while; the Python layer wants a pending Ctrl-C to
// end the call at once. The core knows nothing of signals or Python: it polls
// a caller's function between files and between blocks, and once that answers
// true every level of the walk unwinds as if the data had ended.

namespace vostrel {

class StopToken {
 public:
  using Poll = bool (*)(void* context);

  StopToken() noexcept = default;
  StopToken(Poll poll, void* context) noexcept : poll_(poll), context_(context) {}

  // Polls the caller (if any); true from the first true answer on.
  [[nodiscard]] bool stop_requested() noexcept {
    if (!stopped_ && poll_ != nullptr && poll_(context_)) stopped_ = true;
    return stopped_;
  }
  // Whether a poll has answered true, without polling again.
  [[nodiscard]] bool stopped() const noexcept { return stopped_; }

 private:
  Poll poll_ = nullptr;
  void* context_ = nullptr;
  bool stopped_ = false;
};

// A token that polls a caller's check-in, a callable answering whether to go
// on (true) as the long walks' check-ins do; it must outlive the token.
template <class CheckIn>
[[nodiscard]] StopToken stop_token_of(CheckIn& check_in) noexcept {
  return StopToken([](void* context) { return !(*static_cast<CheckIn*>(context))(); }, &check_in);
}

}  // namespace vostrel
