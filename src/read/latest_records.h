#pragma once
// What a read of the whole store returns now: its current records that hold
// a value (current_versions.h), in bytewise user-key order, as the real
// library's iterator gives them on a store with the default comparator.
//
// Two ways, one answer. merged(): the files in use read side by side in
// user-key order (key_merge.h), each key's current record copied out as the
// merge meets it, one part per key range: one pass, no sort. It needs each
// table in bytewise order; when a table is not, collect() does it in two
// passes: the current records found first (current_versions.h), then copied
// out file by file, one run per file in the file's own order; a run not in
// user-key order (a log's) is sorted, and the runs are merged
// (base/sorted_runs.h) as the records are handed out. Memory: every such
// record held at once, its key and value bytes (in 1 MiB chunks) and 64 bytes
// more; nothing of the superseded, deleted or orphaned ones.

#include <cstddef>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/sorted_runs.h"
#include "format/record.h"
#include "read/current_versions.h"
#include "read/decode_scratch.h"
#include "read/key_merge.h"
#include "read/store.h"

namespace vostrel {

class LatestRecords {
 public:
  // The second pass, over the files `versions` says are in use; stops early
  // (with fewer records) when scratch.stop asks.
  [[nodiscard]] static LatestRecords collect(const RawLevelDb& db, const CurrentVersions& versions,
                                             DecodeScratch& scratch);
  // The one pass over the files `activity` marks in use, in `ranges` key
  // ranges (0: one a core); nullopt when a table's order does not allow it.
  // Stops early (with fewer records) when stop asks.
  [[nodiscard]] static std::optional<LatestRecords> merged(const RawLevelDb& db, const StoreActivity& activity,
                                                           StopToken* stop = nullptr, std::size_t ranges = 0);

  // Hands sink(record) every record in bytewise user-key order. The views
  // live as long as this object.
  template <RecordSink Sink>
  void visit(Sink& sink) const {
    for (const Part& part : parts_) {
      merge_sorted_runs(std::span<const RecordView>(part.records), std::span<const std::size_t>(part.run_ends),
                        user_key_less, [&](const RecordView& record) { sink(record); });
    }
  }

  [[nodiscard]] std::size_t size() const noexcept {
    std::size_t size = 0;
    for (const Part& part : parts_) size += part.records.size();
    return size;
  }

  // Records copied out, in runs; parts_ follow one another in key order.
  struct Part {
    // A copy of the bytes that stays where it is until the part goes.
    std::string_view hold(std::string_view bytes);
    void keep(const RecordView& record);

    std::vector<std::unique_ptr<char[]>> chunks;
    std::size_t chunk_left = 0;      // bytes free at the end of the last chunk
    std::vector<RecordView> records;  // keys and values in chunks
    std::vector<std::size_t> run_ends;
  };

 private:
  static bool user_key_less(const RecordView& a, const RecordView& b) noexcept;

  std::vector<Part> parts_;
};

// The one pass of LatestRecords::merged handed out as it goes, for a caller
// that turns each record into something of its own (a Python object) on its
// thread while the merge runs on others: batches of records, each of one key
// range and in key order within it, the ranges interleaved as they come.
// Memory: a few batches a range (kBatchBytes each, or one record's size),
// reused; a producer waits while the caller has them all.
struct LatestBatch {
  std::size_t range = 0;
  std::vector<RecordView> records;   // keys and values in bytes
  std::vector<std::uint32_t> positions;  // of each record's data file
  std::unique_ptr<char[]> bytes;
  std::size_t capacity = 0;
  std::size_t used = 0;
};

class LatestStream {
 public:
  static constexpr std::size_t kBatchBytes = std::size_t{256} << 10;

  // Starts the merge over the files `activity` marks in use, in `ranges`
  // key ranges (0: one a core).
  LatestStream(const RawLevelDb& db, const StoreActivity& activity, std::size_t ranges = 0);
  LatestStream(const LatestStream&) = delete;
  LatestStream& operator=(const LatestStream&) = delete;
  // Stops the merge and waits for it.
  ~LatestStream();

  [[nodiscard]] std::size_t ranges() const noexcept { return sinks_.size(); }
  // The next batch, waiting up to `wait` for one; nullptr when none came in
  // time or the merge is over (finished()). Give each back with release().
  [[nodiscard]] LatestBatch* next(std::chrono::milliseconds wait);
  void release(LatestBatch* batch);
  // Ends the merge early: the rest of its records are not handed out.
  void stop();
  // Whether every batch has been handed out. Then: how the merge ended
  // (KeyMerge::End::Unsorted: the order did not allow it, and the batches
  // handed out are not the answer). A failure of the merge's threads
  // (std::bad_alloc) is thrown again here.
  [[nodiscard]] bool finished();
  [[nodiscard]] KeyMerge::End end();

 private:
  class Sink;
  LatestBatch* take_free(std::size_t need);
  void push(LatestBatch* batch);

  std::mutex mutex_;
  std::condition_variable ready_;  // the caller waits here for a batch
  std::condition_variable room_;   // the merge waits here for a free batch
  std::deque<LatestBatch*> full_;
  std::vector<LatestBatch*> free_;
  std::vector<std::unique_ptr<LatestBatch>> batches_;
  std::vector<std::unique_ptr<Sink>> sinks_;
  std::atomic<bool> stopped_{false};
  bool done_ = false;
  KeyMerge::End end_ = KeyMerge::End::Done;
  std::exception_ptr error_;
  std::jthread merge_;
};

}  // namespace vostrel
