#pragma once
// The files in use of a store read side by side in user-key order, so that
// all the records of one user key meet and its current one (current_versions.h)
// is told on the spot, without a table of every key.
//
// This rests on an order the files keep when the store's comparator is
// bytewise (the default one): a table's records run in ascending user key,
// and a log's records, in write order, are sorted here after the log is read
// (a log in use is at most a few megabytes in a store LevelDB wrote, and only
// its distinct keys are held). Nothing is assumed: every table's order is
// checked record by record, and the merge gives up (KeyMerge::End::Unsorted)
// at the first record out of order, whatever the reason (another comparator,
// a damaged or forged table); the caller then falls back to the table of
// every key, which needs no order. So the answer is exact either way.
//
// The key space is cut into ranges at user keys picked from the tables'
// index blocks, one range per thread; each thread starts every table at the
// first data block whose index key reaches its range. Index keys are
// untrusted too: a range's end is checked against where the next range
// started, and any mismatch is again Unsorted.
//
// A level above 0 of the version holds tables of apart key ranges: its
// tables, in the order of their smallest keys as the manifest gives them,
// make one run of the merge, so that a record costs a few comparisons
// rather than one for each table. That order too is checked, across tables.
//
// Memory: per thread and table in use two data blocks' records, copied (keys,
// and values when asked for), and each log's distinct keys (about 200 bytes
// each besides the key, and with values the winners' values); nothing grows
// with the number of records beyond what the sinks keep.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/stop_token.h"
#include "format/record.h"
#include "read/store.h"
#include "read/version_set.h"

namespace vostrel {

// Where one key range's current records go, in ascending user key.
class WinnerSink {
 public:
  virtual ~WinnerSink() = default;
  // The current record of one user key, in the data file at `position`;
  // `ordinal` counts that file's records from where this range began in it
  // (KeyMerge::Result::bases). `record` lives during the call; with values
  // not asked for its value is empty and, for a log's record, its fields
  // other than key, seq and state are unset.
  virtual void winner(const RecordView& record, KeyState kind, std::size_t position, std::uint64_t ordinal) = 0;
  // This range's merge is over (done, given up or stopped), on the thread
  // that merged it: no more winners come. The other ranges may go on.
  virtual void range_done() {}
};

struct KeyMerge {
  enum class End : std::uint8_t { Done, Unsorted, Stopped };
  struct Result {
    End end = End::Done;
    // bases[range][position]: the ordinal, in the file at position, of the
    // first record the range counted; 0 for range 0 and for every log.
    std::vector<std::vector<std::uint64_t>> bases;
  };

  // The files `activity` marks in use, merged into sinks.size() key ranges
  // (fewer when the tables offer too few keys to cut at; the others stay
  // empty), the first on the caller's thread, each other on a thread of its
  // own. Only the caller's thread polls `stop`; the others follow it.
  [[nodiscard]] static Result run(const RawLevelDb& db, const StoreActivity& activity,
                                  std::span<WinnerSink* const> sinks, bool with_values, StopToken* stop);

  // The number of ranges worth running on this machine.
  [[nodiscard]] static std::size_t threads() noexcept;
};

}  // namespace vostrel
