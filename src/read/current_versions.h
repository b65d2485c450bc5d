#pragma once
// What the application sees now, and what is history or leftovers: the status
// of every record, by LevelDB's own rules.
//
// - A record of a file the manifest's current version does not use (a table it
//   no longer lists, a log older than its log number) is orphaned: a leftover
//   of a compaction or a flush, still on disk (version_set.h).
// - Among the records of the files in use, the one with the highest sequence
//   number of its user key is current: what a read of that key returns (a
//   value, or "not found" when it is a deletion). Every other is superseded.
//   Of records with equal sequence numbers, the first in reading order wins.
//
// A table record's user key, sequence number and kind come from its 8-byte
// trailer as the real library reads it, also where the reader's own state
// says unknown (a key of exactly 8 bytes: the empty user key).
//
// Exact, in two passes. The first finds each user key's newest record and
// keeps, for each file, the sorted list of ordinals of its winners; the
// second pass (the caller's walk, any order) then tells a record's status by
// a cursor, without a lookup. The first pass goes one of two ways:
//
// - The merge (key_merge.h): the files in use read side by side in user-key
//   order, on a thread per key range, where every table is in bytewise order
//   (any store with the default comparator). Memory: 8 bytes a key for the
//   winners while they are found (up to twice that in growing lists) and 8
//   after, besides a data block a file and thread and a log's distinct keys.
// - Otherwise the table of every key: a hash table of every distinct user
//   key, held in full, with its newest record's sequence number and place
//   (file, ordinal), turned into the winners' lists and freed. Memory: a
//   24-byte slot a key in a table kept between 3/8 and 3/4 full, plus the
//   key's bytes and a length byte or two in 1 MiB chunks, while it runs.
//
// Either way memory is bounded by the distinct keys, never by the number of
// records or the size of values, and the answer is the same.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "format/record.h"
#include "read/store.h"
#include "read/version_set.h"

namespace vostrel {

enum class RecordStatus : std::uint8_t { Current = 0, Superseded = 1, Orphaned = 2 };
[[nodiscard]] std::string_view status_name(RecordStatus status) noexcept;

// The user key, sequence number and kind of a record as LevelDB reads it.
struct ReadKey {
  std::string_view user_key;
  std::uint64_t seq;
  KeyState kind;  // Live (a value), Deleted, or Unknown (a type byte LevelDB does not define)
};
[[nodiscard]] ReadKey read_key_of(const RecordView& record) noexcept;

class CurrentVersions {
 public:
  // The first pass, over every record of the files `activity` marks active.
  // Stops early (with an incomplete answer) when stop asks; check
  // stop.stopped() on the token passed in.
  [[nodiscard]] static CurrentVersions build(const RawLevelDb& db, const StoreActivity& activity,
                                             StopToken* stop = nullptr);
  // The two ways build() goes: the merge of the files by user key
  // (key_merge.h) in `ranges` key ranges (0: one a core), nullopt when
  // their order does not allow it; and the table of every key, which needs
  // no order.
  [[nodiscard]] static std::optional<CurrentVersions> merged(const RawLevelDb& db, const StoreActivity& activity,
                                                             StopToken* stop = nullptr, std::size_t ranges = 0);
  [[nodiscard]] static CurrentVersions hashed(const RawLevelDb& db, const StoreActivity& activity,
                                              StopToken* stop = nullptr);
  // The same for the store as it stands: its manifest replayed (version_set.h)
  // to tell the files in use; without a readable one every file counts as in
  // use, and activity().have_manifest says so.
  [[nodiscard]] static CurrentVersions of_store(const RawLevelDb& db, StopToken* stop = nullptr);

  // The ordinals (from 0, in the file's own order) of the current records of
  // the data file at `position`, ascending. Empty for an orphaned file.
  [[nodiscard]] std::span<const std::uint64_t> current_of(std::size_t position) const noexcept;
  [[nodiscard]] bool orphaned(std::size_t position) const noexcept {
    return position < activity_.files.size() && activity_.files[position] == FileActivity::Orphaned;
  }
  // The status every record of a unit of the reading order shares, if they
  // all share one: an orphaned file's records, and whatever carving finds. A
  // carved record is never what a read returns (the read does not reach it),
  // so it is superseded, or orphaned with its file. nullopt for the normal
  // read of a file in use, whose records are told apart by ordinal.
  [[nodiscard]] std::optional<RecordStatus> shared_status(const RawLevelDb& db, WalkUnit unit) const;
  [[nodiscard]] std::size_t keys() const noexcept { return winners_.size(); }
  [[nodiscard]] const StoreActivity& activity() const noexcept { return activity_; }

 private:
  StoreActivity activity_;
  std::vector<std::uint64_t> winners_;  // per file, ascending; file i's are [starts_[i], starts_[i + 1])
  std::vector<std::size_t> starts_;
};

// The status of each record of one unit of the reading order in turn.
// Ordinals count from the file's first record, also across a resumable walk's
// steps; the file must be walked in its own order.
class StatusCursor {
 public:
  StatusCursor(const CurrentVersions& versions, const RawLevelDb& db, WalkUnit unit)
      : shared_(versions.shared_status(db, unit)), current_(versions.current_of(unit.slot)) {}
  RecordStatus next() noexcept {
    RecordStatus status = RecordStatus::Superseded;
    if (shared_) {
      status = *shared_;
    } else if (next_ < current_.size() && current_[next_] == ordinal_) {
      status = RecordStatus::Current;
      ++next_;
    }
    ++ordinal_;
    return status;
  }

 private:
  std::optional<RecordStatus> shared_;
  std::span<const std::uint64_t> current_;
  std::size_t next_ = 0;
  std::uint64_t ordinal_ = 0;
};

// A sink that gives each record of one unit its status and hands both on:
// sink(record, status).
template <class Sink>
class StatusSink {
 public:
  StatusSink(const CurrentVersions& versions, const RawLevelDb& db, WalkUnit unit, Sink& sink)
      : cursor_(versions, db, unit), sink_(sink) {}
  void operator()(const RecordView& record) { sink_(record, cursor_.next()); }

 private:
  StatusCursor cursor_;
  Sink& sink_;
};

}  // namespace vostrel
