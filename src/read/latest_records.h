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
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/sorted_runs.h"
#include "format/record.h"
#include "read/current_versions.h"
#include "read/decode_scratch.h"
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

}  // namespace vostrel
