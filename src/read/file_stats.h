#pragma once
// Per-file record counts of a store, computed in one walk: what `vostrel
// stats` reports for every data file the reader opened.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "read/store.h"
#include "format/record.h"

namespace vostrel {

// A sink that counts what passes through it.
struct RecordCounts {
  std::uint64_t records = 0;
  std::uint64_t live = 0;
  std::uint64_t deleted = 0;
  std::uint64_t unknown = 0;
  std::uint64_t compressed = 0;  // records read from a compressed table block

  void operator()(const RecordView& view) noexcept {
    ++records;
    live += view.state == KeyState::Live;
    deleted += view.state == KeyState::Deleted;
    unknown += view.state == KeyState::Unknown;
    compressed += view.was_compressed;
  }
  friend bool operator==(const RecordCounts&, const RecordCounts&) = default;
};

struct DataFileStats {
  std::size_t position;               // into RawLevelDb::data_files()
  RecordCounts counts;
  std::optional<std::uint64_t> size;  // the file's size now, by stat; nullopt if it cannot be had
};

// Every data file of db in iteration order (ascending), each walked once and
// its pages given back afterwards.
// stop, when given, ends the walk early (polled between files and blocks):
// the files not finished are not in the result.
[[nodiscard]] std::vector<DataFileStats> count_records_per_file(const RawLevelDb& db, StopToken* stop = nullptr);

}  // namespace vostrel
