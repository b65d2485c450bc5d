#pragma once
// What a read of the whole store returns now: its current records that hold
// a value (current_versions.h), in bytewise user-key order, as the real
// library's iterator gives them on a store with the default comparator.
//
// When the files' order allows, the merge of key_merge.h finds them in one
// pass and LatestStream (below) hands them out as it goes. When a table is
// not in bytewise order (another comparator, a damaged table), collect()
// does it in two passes: the current records found first
// (current_versions.h), then copied out file by file, one run per file in
// the file's own order; a run not in user-key order (a log's, or such a
// table's) is sorted, and the runs are merged (base/sorted_runs.h) as the
// records are handed out. Memory: every such record held at once, its key
// and value bytes (in 1 MiB chunks) and 64 bytes more; nothing of the
// superseded, deleted or orphaned ones.

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

  // Hands sink(record) every record in bytewise user-key order. The views
  // live as long as this object.
  template <RecordSink Sink>
  void visit(Sink& sink) const {
    merge_sorted_runs(std::span<const RecordView>(part_.records), std::span<const std::size_t>(part_.run_ends),
                      user_key_less, [&](const RecordView& record) { sink(record); });
  }

 private:
  // Records copied out, in runs.
  struct Part {
    // A copy of the bytes that stays where it is until the part goes.
    std::string_view hold(std::string_view bytes);
    void keep(const RecordView& record);

    std::vector<std::unique_ptr<char[]>> chunks;
    std::size_t chunk_left = 0;      // bytes free at the end of the last chunk
    std::vector<RecordView> records;  // keys and values in chunks
    std::vector<std::size_t> run_ends;
  };

  static bool user_key_less(const RecordView& a, const RecordView& b) noexcept;

  Part part_;
};

// The one pass of the merge handed out as it goes, for a caller
// that turns each record into something of its own on its thread while the
// merge runs on others: batches of records, each of one key range and in key
// order within it. The caller takes them as they come, whatever their range
// (next()), or range after range, which gives the whole answer in key order
// (next_of()). Memory: a few batches a range (kBatchBytes each, or one
// record's size), reused; a range's merge waits while the caller holds them
// all, so that one taken in order never runs ahead of the caller.
//
// With record_room, each record's key lies that many bytes into a place of
// its own in the batch's bytes, 16-byte aligned, its value right after the
// key: room for a caller that builds its objects in place, taking the
// batch's bytes over (LatestBatch::take_bytes) rather than copying them.
struct LatestBatch {
  std::size_t range = 0;
  std::vector<RecordView> records;   // keys and values in bytes
  std::vector<std::uint32_t> positions;  // of each record's data file
  std::unique_ptr<char[]> bytes;
  std::size_t capacity = 0;
  std::size_t used = 0;

  // The bytes, the records' views into them with them; the batch gets
  // bytes of its own when next filled.
  std::unique_ptr<char[]> take_bytes() noexcept {
    capacity = 0;
    used = 0;
    return std::move(bytes);
  }
};

class LatestStream {
 public:
  static constexpr std::size_t kBatchBytes = std::size_t{256} << 10;
  static constexpr std::size_t kRecordAlign = 16;

  // Starts the merge over the files `activity` marks in use, in `ranges`
  // key ranges (0: one a core), with `record_room` bytes before each record.
  LatestStream(const RawLevelDb& db, const StoreActivity& activity, std::size_t ranges = 0,
               std::size_t record_room = 0);
  LatestStream(const LatestStream&) = delete;
  LatestStream& operator=(const LatestStream&) = delete;
  // Stops the merge and waits for it.
  ~LatestStream();

  [[nodiscard]] std::size_t ranges() const noexcept { return ranges_.size(); }
  // The next batch of any range, waiting up to `wait` for one; nullptr when
  // none came in time or the merge is over (finished()). Give each back with
  // release().
  [[nodiscard]] LatestBatch* next(std::chrono::milliseconds wait);
  // The same for one range; nullptr also once that range is over
  // (range_finished()).
  [[nodiscard]] LatestBatch* next_of(std::size_t range, std::chrono::milliseconds wait);
  void release(LatestBatch* batch);
  // Ends the merge early: the rest of its records are not handed out.
  void stop();
  // Whether every batch (of one range) has been handed out. Once finished():
  // how the merge ended (KeyMerge::End::Unsorted: the order did not allow it,
  // and the batches handed out are not the answer). A failure of the merge's
  // threads (std::bad_alloc) is thrown again by finished().
  [[nodiscard]] bool finished();
  [[nodiscard]] bool range_finished(std::size_t range);
  [[nodiscard]] KeyMerge::End end();

 private:
  class Sink;
  struct Range {
    std::deque<LatestBatch*> full;
    std::vector<LatestBatch*> free;
    std::size_t made = 0;
    bool done = false;  // its merge is over and its last batch handed on
  };
  LatestBatch* take_free(std::size_t range, std::size_t need);
  void push(LatestBatch* batch);
  void range_done(std::size_t range);
  LatestBatch* pop(Range& range);

  std::size_t record_room_;
  std::mutex mutex_;
  std::condition_variable ready_;  // the caller waits here for a batch
  std::condition_variable room_;   // the merge waits here for a free batch
  std::vector<Range> ranges_;
  std::size_t full_count_ = 0;  // batches waiting, all ranges
  std::vector<std::unique_ptr<LatestBatch>> batches_;
  std::vector<std::unique_ptr<Sink>> sinks_;
  std::atomic<bool> stopped_{false};
  bool done_ = false;
  KeyMerge::End end_ = KeyMerge::End::Done;
  std::exception_ptr error_;
  std::jthread merge_;
};

}  // namespace vostrel
