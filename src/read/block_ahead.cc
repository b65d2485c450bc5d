#include "read/block_ahead.h"

#include <sched.h>

#include <cstring>
#include <new>
#include <utility>

#include "base/worker_signals.h"
#include "io/mapped_file.h"
#include "io/safe_copy.h"
#include "read/table_file.h"

namespace vostrel {
namespace {

// A slot whose block is larger than this gives its buffers back once the
// block is walked, so that the ring keeps only small buffers.
constexpr std::size_t kKeepBuffers = std::size_t{1} << 20;

}  // namespace

bool second_core_available() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set) > 1;
  return std::thread::hardware_concurrency() > 1;
}

BlockAhead::BlockAhead(std::vector<const TableFile*> tables)
    : tables_(std::move(tables)), slots_(std::make_unique<Slot[]>(kSlots)) {
  thread_ = std::thread([this] { run(); });
}

void BlockAhead::stop() noexcept {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  wake();
  thread_.join();
  finished_.store(true);
}

void BlockAhead::run() noexcept {
  leave_signals_to_main_thread();
  ReadWindow window;
  std::uint64_t produced = 0;
  for (const TableFile* table : tables_) {
    if (!table->file().window_reads_without_mapping()) prepare_fault_guard();
    for (std::size_t i = 0; i < table->index().size(); ++i) {
      if (!wait_for_room(produced)) return;
      Slot& slot = slots_[produced % kSlots];
      fill(slot, *table, i, window);
      bytes_.fetch_add(slot.bytes);
      produced_.store(++produced);
      if (walker_asleep_.load() && walker_may_go_on(consumed_.load())) wake();
    }
  }
  finished_.store(true);
  wake();
}

void BlockAhead::fill(Slot& slot, const TableFile& table, std::size_t index, ReadWindow& window) {
  slot.table = &table;
  slot.index = index;
  slot.out_of_memory = false;
  slot.block = AheadBlock{};
  slot.bytes = 0;
  try {
    const BlockHandle& handle = table.index()[index].second;
    const auto view = table.read_block(handle, slot.stored, slot.decompressed, &window);
    if (!view) return;
    std::string_view contents = view->contents;
    if (!view->was_compressed) {
      // The contents view the window, which the next block's read refills:
      // the slot keeps a copy of its own (the stored buffer is unused when
      // reading through a window).
      char* copy = slot.stored.reserve(contents.size());
      if (!contents.empty()) std::memcpy(copy, contents.data(), contents.size());
      contents = std::string_view(copy, contents.size());
    }
    slot.block = AheadBlock{.ok = true, .was_compressed = view->was_compressed, .offset = view->offset,
                            .contents = contents};
    slot.bytes = contents.size();
  } catch (...) {  // std::bad_alloc: the walker raises it in this block's place
    slot.out_of_memory = true;
  }
}

// The helper, once the ring is full, sleeps until the walker has emptied
// half of it, and the walker, once it is empty, until a quarter is filled
// (or the blocks in it hold half the budget, or the helper is done): each
// sleep then covers several blocks instead of one.
bool BlockAhead::helper_may_go_on(std::uint64_t produced) const noexcept {
  const std::uint64_t held = produced - consumed_.load();
  return held <= kSlots / 2 && (held == 0 || bytes_.load() <= kBudget / 2);
}

bool BlockAhead::walker_may_go_on(std::uint64_t consumed) const noexcept {
  return produced_.load() - consumed >= kSlots / 4 || bytes_.load() >= kBudget / 2 || finished_.load();
}

bool BlockAhead::wait_for_room(std::uint64_t produced) {
  if (stopping_.load()) return false;
  const std::uint64_t held = produced - consumed_.load();
  if (held < kSlots && (held == 0 || bytes_.load() < kBudget)) return true;
  std::unique_lock lock(mutex_);
  helper_asleep_.store(true);
  wake_.wait(lock, [&] { return stopping_.load() || helper_may_go_on(produced); });
  helper_asleep_.store(false);
  return !stopping_.load();
}

void BlockAhead::wake() {
  const std::lock_guard lock(mutex_);
  wake_.notify_all();
}

const AheadBlock* BlockAhead::take(const TableFile* table, std::size_t index) {
  for (;;) {
    const std::uint64_t consumed = consumed_.load(std::memory_order_relaxed);
    if (consumed == seen_produced_) {
      seen_produced_ = produced_.load();
      if (consumed == seen_produced_) {
        if (finished_.load()) {
          seen_produced_ = produced_.load();  // the last blocks, published before finishing
          if (consumed == seen_produced_) return nullptr;
          continue;
        }
        std::unique_lock lock(mutex_);
        walker_asleep_.store(true);
        wake_.wait(lock, [&] { return walker_may_go_on(consumed); });
        walker_asleep_.store(false);
        continue;
      }
    }
    const Slot& slot = slots_[consumed % kSlots];
    if (slot.table == table && slot.index == index) {
      if (!slot.out_of_memory) {
        ++handed_out_;
        return &slot.block;
      }
      release();
      throw std::bad_alloc();
    }
    if (slot.table == table && slot.index > index) return nullptr;
    release();  // a block the walk has gone past
  }
}

void BlockAhead::release() noexcept {
  const std::uint64_t consumed = consumed_.load(std::memory_order_relaxed);
  Slot& slot = slots_[consumed % kSlots];
  bytes_.fetch_sub(slot.bytes);
  if (slot.bytes > kKeepBuffers || !slot.block.ok) {
    // A large block's buffers (or a failed one's, grown to whatever the
    // failure asked) go now, not when the ring comes round to the slot:
    // the ring never holds more than the blocks in it.
    slot.stored = ByteBuffer{};
    slot.decompressed = ByteBuffer{};
  }
  consumed_.store(consumed + 1);
  if (helper_asleep_.load() && helper_may_go_on(produced_.load())) wake();
}

}  // namespace vostrel
