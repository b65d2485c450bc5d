#pragma once
// Reading a walk's table blocks ahead on a second core. A walk through the
// reading order visits each table's data blocks in index order, so which
// block comes next is known in advance: a helper thread reads and
// decompresses the blocks into a small ring of reused buffers while the
// walking thread turns the blocks before them into records. Only whole
// blocks cross between the threads, each once; the walking thread still
// walks every entry itself, so the records are those of a walk without it.
//
// The ring holds at most kSlots blocks and, beyond the first, about
// kBudget bytes of contents. The two threads share two counters (blocks
// produced, blocks consumed); a thread sleeps only when the ring is empty
// (the walker) or full (the helper), and is woken by the other only once
// several blocks can be handed over, so a block costs no system call while
// both are busy and a wake-up is shared by many blocks.
//
// The helper reads through the same TableFile::read_block as the walker: a
// block that fails to read or decompress is handed over as failed and the
// walker skips it as it would have. A block whose decompression ran out of
// memory is handed over as such, and the walker raises std::bad_alloc in
// its place. A block the ring does not hold (the walker moved on past what
// the helper read, or asked before the helper got there after a skip) is
// read by the walker itself.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "base/byte_buffer.h"

namespace vostrel {

class ReadWindow;
class TableFile;

// Whether this process may run on more than one core (its affinity mask):
// reading ahead pays only with a core to spare.
[[nodiscard]] bool second_core_available() noexcept;

// One block as the helper read it: `ok` false for a block the walk skips.
struct AheadBlock {
  bool ok = false;
  bool was_compressed = false;
  std::uint64_t offset = 0;
  std::string_view contents;
};

class BlockAhead {
 public:
  static constexpr std::size_t kSlots = 256;
  static constexpr std::size_t kBudget = std::size_t{256} << 10;

  // Starts the helper on the data blocks of `tables`, in this order. The
  // tables must outlive the helper (stop() or the destructor). Throws what
  // starting a thread throws.
  explicit BlockAhead(std::vector<const TableFile*> tables);
  BlockAhead(const BlockAhead&) = delete;
  BlockAhead& operator=(const BlockAhead&) = delete;
  ~BlockAhead() { stop(); }

  // Ends the helper and waits for it; afterwards take() hands out nothing.
  void stop() noexcept;

  // The block at `index` of `table`'s index, or nullptr when the ring will
  // not hold it (the caller reads it itself). Blocks before it are dropped.
  // A block handed out stays valid until release(), which must follow
  // before the next take(). Throws std::bad_alloc for a block whose reading
  // ran out of memory.
  [[nodiscard]] const AheadBlock* take(const TableFile* table, std::size_t index);
  void release() noexcept;
  // Blocks take() has handed out so far.
  [[nodiscard]] std::uint64_t handed_out() const noexcept { return handed_out_; }

 private:
  struct Slot {
    const TableFile* table = nullptr;
    std::size_t index = 0;
    bool out_of_memory = false;
    AheadBlock block;
    std::size_t bytes = 0;  // what the slot's buffers hold, counted against kBudget
    ByteBuffer stored;
    ByteBuffer decompressed;
  };

  void run() noexcept;
  void fill(Slot& slot, const TableFile& table, std::size_t index, ReadWindow& window);
  // The helper's wait for room; false when stopped.
  bool wait_for_room(std::uint64_t produced);
  [[nodiscard]] bool helper_may_go_on(std::uint64_t produced) const noexcept;
  [[nodiscard]] bool walker_may_go_on(std::uint64_t consumed) const noexcept;
  // Wakes whichever thread sleeps on wake_ (both wait on it, each for its own condition).
  void wake();

  std::vector<const TableFile*> tables_;
  std::unique_ptr<Slot[]> slots_;

  std::atomic<std::uint64_t> produced_{0};
  std::atomic<std::uint64_t> consumed_{0};
  std::atomic<std::size_t> bytes_{0};
  std::atomic<bool> finished_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> walker_asleep_{false};
  std::atomic<bool> helper_asleep_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::uint64_t seen_produced_ = 0;  // the walker's last look at produced_
  std::uint64_t handed_out_ = 0;
  std::thread thread_;
};

}  // namespace vostrel
