#pragma once
// A whole store, or many stores, written as JSON Lines or CSV
// (record_export.h), by one thread or by several.
//
// With one thread the caller's thread walks the data files in iteration order
// and writes as it formats. With more, formatting is what costs (decoding is
// about a seventh of the time), so threads - 1 worker threads and the caller's
// thread each take the next data file and decode and format it into chunks of
// their own; the caller's thread hands those chunks to the writer strictly in
// file order. The output is byte for byte what one thread writes.
//
// With options.status each store's current records are found first
// (read/current_versions.h: one pass over its files in use, on the caller's
// thread for one store, by the thread that opens it for many), and each unit
// is walked through a StatusSink: units are whole files in their own order,
// so every record's ordinal in its file is known. Loose files have no status.
//
// Memory stays bounded whatever the store: a worker whose chunks the writer
// is not yet taking stops once the chunks queued by all workers reach a
// budget (a few per thread). The file the writer is waiting on may always
// queue a few more, so the walk can never wait on itself.
//
// The caller's check_in(bytes_done, bytes_total) is called on the caller's
// thread at most every `interval` (and, with report_ends, once at the start
// and once at the end); false stops the export at once:
// nothing more is written and the workers are joined. So are the writer's
// chunks: every call of the ChunkWriter happens on the caller's thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "read/store.h"
#include "read/version_set.h"
#include "export/record_export.h"

namespace vostrel {

struct StoreExportControl {
  unsigned threads = 1;  // 1: no worker threads
  // The queue's budget, in chunks a thread (0: eight, the dump's). An export
  // whose files each make many chunks of output needs more, or a worker a few
  // files ahead of the writer waits while the cores could both be at work.
  std::size_t chunks_per_thread = 0;
  std::function<bool(std::uint64_t bytes_done, std::uint64_t bytes_total)> check_in = {};
  std::chrono::milliseconds interval{200};
  bool report_ends = false;
  // With the status field: called on the caller's thread as the turn comes
  // of a store (by its index; 0 for a single store) whose files in use are
  // in doubt (files_in_doubt, version_set.h: no readable manifest, or tables
  // its manifest lists missing), with what is known of them; false stops the
  // export.
  std::function<bool(std::size_t store, const StoreActivity& activity)> files_in_doubt = {};
};

// A loose file that could not be opened, and why.
struct FileFailure {
  std::string path;
  OsError error;
};

struct StoreExportResult {
  std::uint64_t records = 0;              // records written
  std::optional<FileFailure> file_failure;  // the loose file that ended the export
  std::optional<WriteError> write_error;  // what stopped the writer, if anything
  bool stopped = false;                   // check_in answered false
};

// What an export of many stores learns of a store before any of its records
// is formatted (a decoder's first pass over it): made once by the thread that
// opens the store, kept until the store's output is written, and handed to
// every formatter that formats one of its units.
class StorePreparation {
 public:
  virtual ~StorePreparation() = default;
};

// Makes the preparation of store `index`, once it is open (and its current
// records found, with the status). `threads`: how many threads it may share
// its work out over, its own among them (the export's count). `go_on` is to
// be polled, on the calling thread, while it works: once it answers false
// the export is stopping and what is returned goes unused.
using PrepareStore = std::function<std::unique_ptr<StorePreparation>(
    std::size_t index, const RawLevelDb& db, unsigned threads, const std::function<bool()>& go_on)>;

// What turns the records of the units one thread walks into its chunks: each
// thread of an export has its own, made by a FormatterFactory, so whatever it
// keeps between records (buffers, counters, decoder state) is its alone. The
// dump's is its RecordExporter; others write entries of their own.
class UnitFormatter {
 public:
  virtual ~UnitFormatter() = default;
  virtual void record(const RecordView& record) = 0;
  // With the status field: every record of a unit with its status.
  virtual void record(const RecordView& record, RecordStatus status) = 0;
  // The store of the records from here on (an export of many stores): its
  // directory, the store field, and what was prepared for it (nullptr
  // without a PrepareStore).
  virtual void set_store(std::string_view store, const StorePreparation* prepared) = 0;
  // Hands over what is still buffered; the error that stopped it, if any.
  [[nodiscard]] virtual std::expected<void, WriteError> finish() = 0;
  [[nodiscard]] virtual bool failed() const noexcept = 0;
  // Records formatted so far (what the formatter leaves out not counted).
  [[nodiscard]] virtual std::uint64_t records_written() const noexcept = 0;
};

// Makes a thread's formatter, which hands its full chunks to `taker` (called
// on the thread that formats). Called once per thread, on that thread.
using FormatterFactory = std::function<std::unique_ptr<UnitFormatter>(ChunkTaker taker)>;

// The store in its reading order (RawLevelDb::reading_order): with carve, its
// normal read and then the carved records, each carving unit a unit of work
// like any data file. Throws only what allocation throws (std::bad_alloc),
// from any thread.
[[nodiscard]] StoreExportResult export_store(const RawLevelDb& db, bool reverse, const ExportOptions& options,
                                             ChunkWriter writer, const StoreExportControl& control,
                                             bool carve = false);

// The same, each thread's records formatted by its own formatter from
// `make`; options says only whether the records get their status (status:
// the store's current records are found first, and every record comes with
// its status) and what the walk hands over (positions). No CSV header.
[[nodiscard]] StoreExportResult export_store_formatted(const RawLevelDb& db, bool reverse,
                                                       const ExportOptions& options, const FormatterFactory& make,
                                                       ChunkWriter writer, const StoreExportControl& control);

// Data files read by content (loose_file.h), one after another in the order
// given, each its normal records then its carved ones; each file is one unit
// of work. A file that cannot be opened ends the export there, as
// file_failure, once the files before it are written.
[[nodiscard]] StoreExportResult export_files(std::span<const std::string> paths, const ExportOptions& options,
                                             ChunkWriter writer, const StoreExportControl& control);

// Called, for an export of many stores, on the caller's thread as each store's
// turn comes, before any of its records: with the store opened (its skipped
// files) or why it could not be opened. false stops the export.
using StoreOpened = std::function<bool(std::size_t index, const std::expected<RawLevelDb, DbError>& store)>;

// Many stores in one output, one after another in the order given, each
// record starting with its store's directory as the store field (a CSV
// header, if asked for, has the store column). A store that cannot be opened
// is reported to on_store and has no records. With threads > 1 the worker
// threads share out the data files of all the stores, opening each store as
// they reach it, a few stores ahead of the one being written; the writer
// closes each store once its output is written. So at most a few stores per
// thread are open at once, however many there are.
[[nodiscard]] StoreExportResult export_stores(std::span<const std::string> directories, bool reverse,
                                              ExportOptions options, ChunkWriter writer,
                                              const StoreExportControl& control, const StoreOpened& on_store);

// The same, each thread's records formatted by its own formatter from `make`
// (export_store_formatted), after `prepare` has made what the formatters take
// to each store (called by the thread that opens it, so the preparations of
// stores ahead run while the threads format the stores before them). No CSV
// header.
[[nodiscard]] StoreExportResult export_stores_formatted(std::span<const std::string> directories, bool reverse,
                                                        const ExportOptions& options, const FormatterFactory& make,
                                                        const PrepareStore& prepare, ChunkWriter writer,
                                                        const StoreExportControl& control,
                                                        const StoreOpened& on_store);

// The worker threads worth starting by default: the processor cores this
// process may run on.
[[nodiscard]] unsigned available_cores() noexcept;

}  // namespace vostrel
