#pragma once
// A LevelDB database directory opened for raw reading: every data file found by
// name (file_name.h) and the newest manifest, each mapped once at open.

#include <algorithm>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "read/decode_scratch.h"
#include "format/file_name.h"
#include "read/table_file.h"
#include "read/log_file.h"
#include "read/manifest_file.h"
#include "io/mapped_file.h"
#include "base/stop_token.h"
#include "format/record.h"

namespace vostrel {

enum class DbErrorKind { NotADirectory, Io, Interrupted };

struct DbError {
  DbErrorKind kind;
  std::string path;  // NotADirectory: the path as passed in
  OsError error;     // Io; NotADirectory: why (ENOTDIR for anything but a directory)
  // "Not a directory: {path}", "IO error: {system text}" or "Interrupted"
  [[nodiscard]] std::string message() const;
};

// A data file recognised by its name but left out, and why: it could not be
// opened, read or mapped, is not a regular file, or its records did not fit
// in memory.
struct SkippedFile {
  std::string path;
  std::string reason;
  friend bool operator==(const SkippedFile&, const SkippedFile&) = default;
};

// A data file as the directory listing names it, not yet opened: a regular
// file (at the listing) whose name is a data file's (file_name.h).
struct ListedDataFile {
  std::string path;
  FileType type;
  std::uint64_t number;  // by the file-number rule
  std::uint64_t size;    // bytes, when listed
};

// Positions 0 .. count - 1 in file order: by the (number, path) that at(i)
// gives, as precedes_in_file_order ranks them; positions of equal place keep
// their order. The one ordering of data files, for opened and listed ones alike.
template <class NumberAndPath>
[[nodiscard]] std::vector<std::size_t> file_order(std::size_t count, NumberAndPath at) {
  std::vector<std::size_t> order(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = i;
  // Plain sort on (place, position) rather than stable_sort, whose libstdc++
  // implementation trips a deprecation warning under clang.
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const auto [number_a, path_a] = at(a);
    const auto [number_b, path_b] = at(b);
    if (precedes_in_file_order(number_a, path_a, number_b, path_b)) return true;
    if (precedes_in_file_order(number_b, path_b, number_a, path_a)) return false;
    return a < b;
  });
  return order;
}

// The data files RawLevelDb::open would try to open, in the order its
// iteration visits those it opens, without opening any: one listing of
// in_dir, by the same rules. Errors as open's.
[[nodiscard]] std::expected<std::vector<ListedDataFile>, DbError> list_data_files(const std::string& in_dir,
                                                                                StopToken* stop = nullptr);

// One opened data file. The alternatives follow FileType's order (Ldb, Log),
// and both readers offer the same visit_records.
using DataFile = std::variant<TableFile, LogFile>;

[[nodiscard]] std::uint64_t number_of(const DataFile& file) noexcept;
[[nodiscard]] FileType file_type_of(const DataFile& file) noexcept;
[[nodiscard]] const std::string& path_of(const DataFile& file) noexcept;
[[nodiscard]] std::uint64_t length_of(const DataFile& file) noexcept;

// The records of one data file, in file order.
template <RecordSink Sink>
void visit_data_file(const DataFile& file, Sink& sink, DecodeScratch& scratch) {
  std::visit([&](const auto& reader) { reader.visit_records(sink, scratch); }, file);
}

// Opens one data file exactly as the directory reader opens each of its data
// files: a regular file only (a FIFO or a device is never opened), by the
// reader of `type`. On failure, why (the text the directory reader gives the
// file in skipped_files); the directory reader leaves such a file out.
[[nodiscard]] std::expected<DataFile, std::string> open_one_data_file(const std::string& path,
                                                                      FileType type,
                                                                      FileAccess access = FileAccess::Map);

// One unit of a walk over a store: the normal read of the data file at `slot`
// of data_files(), or the carving of the file at `slot` of the carving slots
// (data_files() followed by unopened_tables()).
enum class WalkPass : std::uint8_t { Read, Carve };
struct WalkUnit {
  WalkPass pass = WalkPass::Read;
  std::size_t slot = 0;
  friend bool operator==(const WalkUnit&, const WalkUnit&) = default;
};

// Keeps, over a directory listing, the manifest with the highest number; on
// equal numbers the one offered first.
class ManifestSelection {
 public:
  // REQUIRES: number is a manifest name's (parse_entry_name).
  void offer(std::uint64_t number, const std::string& entry_path);
  // The chosen manifest opened, or nullopt if none was chosen or it failed to
  // open. Lower-numbered manifests are never tried.
  [[nodiscard]] std::optional<ManifestFile> open_chosen(FileAccess access = FileAccess::Map) const;
  [[nodiscard]] const std::optional<std::string>& chosen_path() const noexcept { return path_; }

 private:
  std::uint64_t number_ = 0;
  std::optional<std::string> path_;
};

class RawLevelDb {
 public:
  // Lists in_dir once and opens every data file and the newest manifest. A
  // data file that fails to open (for any reason, running out of memory
  // included) is left out and listed in skipped_files(); it never fails the
  // directory. Only a path that is not a directory, a listing that fails, or
  // `stop` (polled between entries) answering true is an error. `access`:
  // how the data files' bytes are reached (mapped_file.h).
  [[nodiscard]] static std::expected<RawLevelDb, DbError> open(std::string in_dir, StopToken* stop = nullptr,
                                                               FileAccess access = FileAccess::Map);

  // The store's reading order: the normal read of every data file, files
  // ordered stably by number (descending when reverse); with carve, followed
  // by the carving of every file in carving_order. The one place a walk over
  // the store takes its order from (record_walk.h).
  [[nodiscard]] std::vector<WalkUnit> reading_order(bool reverse, bool carve) const;

  // The bytes a unit of the reading order covers (0 for an unopened table,
  // whose length the reader never learnt): a walk's progress.
  [[nodiscard]] std::uint64_t unit_length(WalkUnit unit) const noexcept;

  // The records of one data file, by its position in data_files().
  template <RecordSink Sink>
  void visit_file_records(std::size_t position, Sink& sink, DecodeScratch& scratch) const {
    visit_data_file(data_files_[position], sink, scratch);
  }

  // The path of a carving slot: a data file's, or an unopened table's.
  [[nodiscard]] const std::string& slot_path(std::size_t slot) const noexcept;

  // Files named as tables that the normal read leaves out because their
  // footer or index cannot be read; carving still reaches their blocks.
  [[nodiscard]] const std::vector<SharedPath>& unopened_tables() const noexcept { return unopened_tables_; }
  // The resumable walk of one data file (data_file_base.h).
  template <RecordSink Sink>
  std::uint64_t visit_file_records_from(std::size_t position, std::uint64_t resume, std::size_t want,
                                        Sink& sink, DecodeScratch& scratch) const {
    return std::visit([&](const auto& file) { return file.visit_records_from(resume, want, sink, scratch); },
                      data_files_[position]);
  }
  // How many bytes of one data file lie before a resume point of its walk.
  [[nodiscard]] std::uint64_t file_bytes_before(std::size_t position, std::uint64_t resume) const noexcept;
  // Gives the touched pages of one data file back to the system (MappedFile::drop_pages).
  void drop_file_pages(std::size_t position) const noexcept;
  // The same for the file a unit of the reading order walked, reading or
  // carving it (an unopened table's mapping is carving's own, gone with it).
  void drop_unit_pages(WalkUnit unit) const noexcept;

  [[nodiscard]] const std::string& in_dir() const noexcept { return in_dir_; }
  [[nodiscard]] const std::vector<DataFile>& data_files() const noexcept { return data_files_; }
  // Every data file the listing named, opened or left out, in file order
  // (list_data_files as of the open).
  [[nodiscard]] const std::vector<ListedDataFile>& listed_files() const noexcept { return listed_; }
  [[nodiscard]] const std::optional<ManifestFile>& manifest() const noexcept { return manifest_; }

  // The data files left out, in the order they were met.
  [[nodiscard]] const std::vector<SkippedFile>& skipped_files() const noexcept { return skipped_; }
  // Lists a file left out after open (the Python layer drops the records of a
  // file that did not fit in memory). The same path and reason are listed once.
  void add_skipped(SkippedFile file);

 private:
  // Positions into data_files() in iteration order.
  [[nodiscard]] std::vector<std::size_t> iteration_order(bool reverse) const;
  // Positions into data_files() followed by unopened_tables() (numbered on
  // from data_files().size()), ordered by file number like iteration_order.
  [[nodiscard]] std::vector<std::size_t> carving_order(bool reverse) const;

  RawLevelDb(std::string in_dir, std::vector<DataFile> files, std::vector<ListedDataFile> listed,
             std::optional<ManifestFile> manifest, std::vector<SharedPath> unopened_tables,
             std::vector<SkippedFile> skipped)
      : in_dir_(std::move(in_dir)),
        data_files_(std::move(files)),
        listed_(std::move(listed)),
        manifest_(std::move(manifest)),
        unopened_tables_(std::move(unopened_tables)),
        skipped_(std::move(skipped)) {}

  std::string in_dir_;
  std::vector<DataFile> data_files_;
  std::vector<ListedDataFile> listed_;
  std::optional<ManifestFile> manifest_;
  std::vector<SharedPath> unopened_tables_;
  std::vector<SkippedFile> skipped_;
};

}  // namespace vostrel
