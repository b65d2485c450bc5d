#pragma once
// The decoded entries of one Chromium store, one JSON line per record, in the
// reader's record order (RawLevelDb::visit_records, `reverse` included).
//
// A run has up to two passes over the store, each a RecordStream walk, so no
// more than one data file's records are ever held: IndexedDB first learns the
// names of databases, object stores and indexes and its external objects, and
// Session Storage which origins and namespaces own each map; then every record
// is decoded in turn. The state filter drops records before they are decoded
// (no decoder's output depends on the records it is not shown in the second
// pass).
//
// With the status, or only the latest records, a pass before those finds the
// store's current records (read/current_versions.h); each line then ends
// with the record's "status", or only the current records that hold a value
// get a line (in the reader's order, not the keys').

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chromium/blob_file.h"
#include "chromium/store_kind.h"
#include "read/store.h"
#include "export/record_export.h"
#include "export/store_export.h"
#include "read/current_versions.h"
#include "read/record_walk.h"
#include "format/record.h"

namespace vostrel::chromium {

class StoreDecoder;  // the decoder of the store's kind (chromium_export.cc)

// Which records get an entry, and what it tells of them.
struct EntrySelection {
  std::optional<std::vector<KeyState>> states;  // only records in these states; nullopt for all
  bool status = false;  // every line ends with the record's "status"
  bool latest = false;  // only the current records that hold a value
  std::optional<std::vector<std::string>> types;  // only entries of these types; nullopt for all
};

// How records become entries: the decoder of the store's kind with what its
// first pass learned, which records and types get an entry, the store field
// or CSV column; and the count of entries written. A copy writes the same
// entries: each thread that writes entries has its own.
class EntryLines {
 public:
  EntryLines(std::unique_ptr<StoreDecoder> decoder, const EntrySelection& selection);
  EntryLines(const EntryLines& other);
  EntryLines(EntryLines&&) noexcept;
  EntryLines& operator=(EntryLines&&) noexcept;
  ~EntryLines();

  // Every entry from now on starts with {"store": <store>, ...}.
  void set_store(std::string_view store);
  // Every entry from now on is written as its CSV row (entry_csv.h), the
  // store column `store`.
  void set_csv(std::string_view store);
  // The entry of `record`, if it gets one. `status`: the record's, when the
  // store's current records were found (with the status, or only the
  // latest); nullopt otherwise.
  void append(std::string& out, const RecordView& record, std::optional<RecordStatus> status);
  [[nodiscard]] std::uint64_t entries() const noexcept { return entries_; }
  [[nodiscard]] std::uint64_t undecoded() const noexcept { return undecoded_; }
  // undecoded() stays 0: telling a fallback line from the others costs a
  // look at every line, for a count nobody asked for.
  void leave_undecoded_uncounted() noexcept { count_undecoded_ = false; }

 private:
  void append_line(std::string& out, const RecordView& record, std::optional<RecordStatus> status);

  std::unique_ptr<StoreDecoder> decoder_;
  StateFilter admitted_;
  std::string store_field_;  // {"store": "...",   or empty
  std::optional<std::vector<std::string>> types_;
  std::optional<std::string> csv_store_;  // set: rows of CSV
  std::string line_;                      // an entry's line, before it becomes a row
  bool status_field_ = false;
  bool latest_ = false;
  bool count_undecoded_ = true;
  std::uint64_t entries_ = 0;
  std::uint64_t undecoded_ = 0;
};

class ChromiumEntries {
 public:
  // Takes `kind`, or detects it (store_kind.h); nullopt when it cannot be told.
  // Runs the first pass the kind needs, calling `check_in` (if set) every few
  // thousand records (and between blocks while the current records are
  // found); when it answers false the pass ends there and stopped() tells
  // so. `selection`: which records get an entry, with or without their
  // status. `blob_directory`: where an IndexedDB store's blob files are, ""
  // to look beside the store (blob_directory.h).
  [[nodiscard]] static std::optional<ChromiumEntries> start(const RawLevelDb& db, std::string_view directory,
                                                            std::optional<StoreKind> kind, bool reverse,
                                                            const EntrySelection& selection,
                                                            const std::function<bool()>& check_in = {},
                                                            std::string_view blob_directory = {});

  ChromiumEntries(ChromiumEntries&&) noexcept;
  ChromiumEntries& operator=(ChromiumEntries&&) noexcept;
  ~ChromiumEntries();

  // Appends the entries of at least `want` more records to `out` (fewer at
  // the end of the store); returns whether records remain. `db` must be the
  // reader the entries were started on. Whenever `out` reaches `flush_at`
  // bytes, flush(out) is called (and is expected to empty it), so that a
  // block of many records never gathers in one buffer.
  template <class Flush>
  bool step(const RawLevelDb& db, std::size_t want, std::string& out, std::size_t flush_at, Flush&& flush) {
    LineSink<Flush> sink{*this, db, out, flush_at, flush};
    return stream_.step(db, want, sink);
  }

  [[nodiscard]] StoreKind kind() const noexcept { return kind_; }
  // Every entry from now on starts with {"store": <store>, ...}: the store's
  // path, when one output holds the entries of many stores.
  void set_store(std::string_view store) { lines_.set_store(store); }
  // Every entry from now on is written as its CSV row (entry_csv.h), the
  // store column `store`.
  void set_csv(std::string_view store) { lines_.set_csv(store); }
  // Whether check_in stopped the first pass (the entries would lack names).
  [[nodiscard]] bool stopped() const noexcept { return stopped_; }
  // Entries written so far (the state filter's rejects not counted).
  [[nodiscard]] std::uint64_t entries() const noexcept { return lines_.entries(); }
  // Of them, the entries that did not decode (written with their fallback:
  // error, raw key and raw value).
  [[nodiscard]] std::uint64_t undecoded() const noexcept { return lines_.undecoded(); }
  // undecoded() stays 0 (EntryLines::leave_undecoded_uncounted).
  void leave_undecoded_uncounted() noexcept { lines_.leave_undecoded_uncounted(); }

 private:
  ChromiumEntries(StoreKind kind, std::unique_ptr<StoreDecoder> decoder, const RawLevelDb& db, bool reverse,
                  const EntrySelection& selection);

  template <class Flush>
  struct LineSink {
    ChromiumEntries& entries;
    const RawLevelDb& db;
    std::string& out;
    std::size_t flush_at;
    Flush& flush;
    void operator()(const RecordView& record) {
      std::optional<RecordStatus> status;
      if (entries.versions_) status = entries.next_status(db);
      entries.lines_.append(out, record, status);
      if (out.size() >= flush_at) flush(out);
    }
  };
  // The status of the next record of the stream's unit being walked.
  RecordStatus next_status(const RawLevelDb& db);

  StoreKind kind_;
  EntryLines lines_;
  RecordStream stream_;
  std::optional<CurrentVersions> versions_;  // with the status, or only the latest records
  std::optional<StatusCursor> cursor_;       // of the unit being walked
  std::size_t cursor_unit_ = SIZE_MAX;       // its index in the stream's order
  bool stopped_ = false;
};

struct ChromiumExportOptions {
  std::optional<StoreKind> kind;  // nullopt: detected
  // With kind detected: the kind a store is decoded as when its kind cannot
  // be told (nullopt: the run does not start, CannotTellKind). A run over
  // many stores decodes those plainly, and so opens each store once.
  std::optional<StoreKind> fallback_kind;
  EntrySelection selection;
  bool reverse = false;
  std::optional<std::string> store;  // set: each line names the store (ChromiumEntries::set_store)
  bool csv = false;  // rows of CSV (the header not included), the store column `store` (or "")
  std::string blob_directory;  // "": beside the store (blob_directory.h)
  std::shared_ptr<BlobCopies> blob_copies;  // set: every blob file read is copied there (blob_file.h)
  std::size_t chunk_size = std::size_t{1} << 20;
  // Threads decoding the records (store_export.h: each takes the next data
  // file, the output stays in the reader's order), and sharing out
  // IndexedDB's first pass the same way.
  unsigned threads = 1;
  bool count_undecoded = true;  // false: result.undecoded stays 0
};

struct ChromiumExportResult {
  std::uint64_t entries = 0;
  std::uint64_t undecoded = 0;  // of the entries (with options.count_undecoded)
  std::optional<WriteError> write_error;  // the writer's error that ended the run
  bool stopped = false;                   // check_in asked to stop
  // With the status: what is known of the store's files in use when they
  // are in doubt (files_in_doubt, version_set.h), to be reported.
  std::optional<StoreActivity> files_in_doubt;
};

// Why a run could not start.
struct CannotTellKind {};

// Writes every entry through `writer` (always on the caller's thread) in
// chunks of about options.chunk_size. `check_in`, if set, is called on the
// caller's thread every ~`check_every` records of the first pass and every
// 200 ms or so after it; when it answers false the run stops
// (result.stopped).
[[nodiscard]] std::expected<ChromiumExportResult, CannotTellKind> export_chromium(
    const RawLevelDb& db, std::string_view directory, const ChromiumExportOptions& options,
    const ChunkWriter& writer, const std::function<bool()>& check_in = {}, std::size_t check_every = 4096);

// The entries of many stores in one output, one store after another in the
// order given, every line with its store field (CSV: its store column, no
// header), each store decoded by the kind options.kind says or, unset, by the
// kind detected from it (options.fallback_kind, or plain LevelDB, where that
// cannot be told). options.threads threads share out the data files of all
// the stores (export_stores): the thread that opens a store runs its first
// pass (IndexedDB's shared out over threads of its own as for one store),
// so one store's first pass runs while the stores before it are decoded. From
// `control`, check_in and the report of stores whose files in use are in
// doubt (with the status); its threads and chunk budget are the run's own.
// `on_store` is told of each store as its turn comes, opened or not.
// options.store is not used: each line's store is its directory.
// result.records: the entries written.
[[nodiscard]] StoreExportResult export_chromium_stores(std::span<const std::string> directories,
                                                       const ChromiumExportOptions& options, const ChunkWriter& writer,
                                                       StoreExportControl control, const StoreOpened& on_store);

}  // namespace vostrel::chromium
