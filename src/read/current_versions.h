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
// Exact: the table holds every distinct user key in full, with its winner's
// sequence number and place (file, ordinal). Memory is bounded by the number
// and size of distinct keys, never by the number of records or the size of
// values: a 24-byte slot per key in a table kept between three eighths and
// three quarters full (32 to 64 bytes a key), plus the key's own bytes and a
// length byte or two in an arena of 1 MiB chunks (no doubling copy of keys).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "format/record.h"
#include "read/decode_scratch.h"
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
  // Pass one: every record of the files `activity` marks active. Stops early
  // (an incomplete table) when stop asks; check stop.stopped().
  [[nodiscard]] static CurrentVersions build(const RawLevelDb& db, const StoreActivity& activity,
                                             StopToken stop = {});

  // Pass two: the status of `record`, the `ordinal`-th record (from 0) of the
  // data file at `position`, in the file's own order.
  [[nodiscard]] RecordStatus status_of(std::size_t position, std::uint64_t ordinal,
                                       const RecordView& record) const;

  [[nodiscard]] std::size_t keys() const noexcept { return count_; }
  [[nodiscard]] const StoreActivity& activity() const noexcept { return activity_; }

 private:
  // 24 bytes a key. `key`: 0 for an empty slot, else (1 + the key's place in
  // the arena) << 24 | the top 24 bits of its hash, which most probes compare
  // instead of the key itself.
  struct Slot {
    std::uint64_t key = 0;
    std::uint64_t seq = 0;
    std::uint64_t place = 0;  // position << 40 | ordinal
  };
  static constexpr std::uint64_t kOrdinalBits = 40;
  static constexpr std::uint64_t kTagBits = 24;

  void offer(std::string_view user_key, std::uint64_t seq, std::uint64_t place);
  [[nodiscard]] const Slot* find(std::string_view user_key, std::uint64_t hash) const;
  [[nodiscard]] std::string_view key_at(std::uint64_t slot_key) const;
  std::uint64_t store_key(std::string_view key);
  void grow();

  StoreActivity activity_;
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
  std::vector<std::unique_ptr<char[]>> chunks_;
  std::vector<std::size_t> chunk_sizes_;
  std::size_t chunk_used_ = 0;
};

// A sink that gives each record its status and hands both on:
// sink(record, status). One per file walked; ordinals count from the first
// record of the file, also across a resumable walk's steps.
template <class Sink>
class StatusSink {
 public:
  StatusSink(const CurrentVersions& versions, std::size_t position, Sink& sink)
      : versions_(versions), position_(position), sink_(sink) {}
  void operator()(const RecordView& record) {
    sink_(record, versions_.status_of(position_, ordinal_++, record));
  }

 private:
  const CurrentVersions& versions_;
  std::size_t position_;
  std::uint64_t ordinal_ = 0;
  Sink& sink_;
};

}  // namespace vostrel
