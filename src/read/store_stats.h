#pragma once
// What `vostrel stats` reports of a store: a row for every data file the
// directory listing names, with the record counts of those the reader opened
// and zero counts for those it left out; and the same for many stores, read
// side by side by worker threads and handed over in the order given.

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "read/file_stats.h"
#include "read/store.h"

namespace vostrel {

struct FileStatsRow {
  std::string path;
  FileType type;
  std::uint64_t number;  // by the file-number rule
  std::uint64_t size;    // bytes: after counting for a file read, when listed for one left out
  RecordCounts counts;   // zero for a file left out
};

// Every listed data file of db, in file order; files of equal place (the same
// number under two extensions) by path, so that the rows do not depend on the
// order the file system lists names in.
[[nodiscard]] std::vector<FileStatsRow> every_file_stats(const RawLevelDb& db, StopToken* stop = nullptr);

struct StoreStats {
  std::vector<FileStatsRow> files;
  std::vector<SkippedFile> skipped;  // the store's files left out, as RawLevelDb lists them
};

struct StoresStatsControl {
  unsigned threads = 1;  // worker threads; the caller's thread only hands results over
  // Called on the caller's thread at most every `interval` while it waits;
  // false stops: no further store is begun, and the workers are joined.
  std::function<bool()> check_in = {};
  std::chrono::milliseconds interval{200};
};

// Called on the caller's thread for each store in the order given: its
// stats, or why it could not be opened. false stops as check_in does.
using StoreStatsReady = std::function<bool(std::size_t index, std::expected<StoreStats, DbError>& stats)>;

// Opens and counts each store on the worker threads, a few stores per thread
// ahead of the one handed over (so memory stays bounded however many there
// are), each store closed as soon as it is counted. Returns false when
// stopped. Throws only what allocation throws, on the caller's thread.
bool stats_of_stores(std::span<const std::string> directories, const StoresStatsControl& control,
                     const StoreStatsReady& ready);

}  // namespace vostrel
