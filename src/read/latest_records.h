#pragma once
// What a read of the whole store returns now: its current records that hold
// a value (current_versions.h), in bytewise user-key order, as the real
// library's iterator gives them on a store with the default comparator.
//
// The records are collected file by file from the files in use, copied out
// of the mappings, one run per file in the file's own order. A table's run is
// already in user-key order when its comparator is bytewise; a log's, or a
// table's of another comparator, is sorted; then the runs are merged
// (base/sorted_runs.h) as the records are handed out. Memory: every such
// record held at once, its key and value bytes (in 1 MiB chunks) and 64 bytes
// more; nothing of the superseded, deleted or orphaned ones.

#include <cstddef>
#include <memory>
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

  // Hands sink(record) every record in bytewise user-key order. The views
  // live as long as this object.
  template <RecordSink Sink>
  void visit(Sink& sink) const {
    merge_sorted_runs(std::span<const RecordView>(records_), std::span<const std::size_t>(run_ends_),
                      user_key_less, [&](const RecordView& record) { sink(record); });
  }

  [[nodiscard]] std::size_t size() const noexcept { return records_.size(); }

 private:
  static bool user_key_less(const RecordView& a, const RecordView& b) noexcept;
  // A copy of the bytes that stays where it is until this object goes.
  std::string_view hold(std::string_view bytes);

  std::vector<std::unique_ptr<char[]>> chunks_;
  std::size_t chunk_left_ = 0;  // bytes free at the end of the last chunk
  std::vector<RecordView> records_;  // keys and values in chunks_
  std::vector<std::size_t> run_ends_;
};

}  // namespace vostrel
