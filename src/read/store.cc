#include "read/store.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>


namespace vostrel {
namespace {

class DirectoryStream {
 public:
  explicit DirectoryStream(DIR* dir) noexcept : dir_(dir) {}
  DirectoryStream(const DirectoryStream&) = delete;
  DirectoryStream& operator=(const DirectoryStream&) = delete;
  ~DirectoryStream() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  [[nodiscard]] DIR* get() const noexcept { return dir_; }

 private:
  DIR* dir_;
};

bool is_directory(const std::string& path) noexcept {
  // The system sees a path only up to its first NUL: "/data\0x" must not
  // open "/data". No directory's name contains a NUL.
  if (path.find('\0') != std::string::npos) return false;
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Why the entry at path cannot be read as a file, or nullopt when it can be
// tried. Checked before opening, so that a device or FIFO is never opened at
// all; the open checks again on its descriptor, since the entry can change
// in between.
std::optional<std::string> not_a_file(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return OsError{errno}.message();
  if (!S_ISREG(status.st_mode)) return std::string("not a regular file");
  return std::nullopt;
}

// The reader of one data file, or why it was left out. Any failure stays with
// the file, running out of memory included.
struct OpenFailure {
  std::string reason;
  bool carvable;  // a table whose bytes could be read but not its structure
};

std::expected<DataFile, OpenFailure> open_data_file(FileType type, const std::string& path,
                                                    FileAccess access = FileAccess::Map) {
  try {
    if (type == FileType::Log) {
      auto log = LogFile::open(path, access);
      if (!log) return std::unexpected(OpenFailure{log.error().message(), false});
      return DataFile(std::move(*log));
    }
    auto table = TableFile::open(path, access);
    if (!table) {
      return std::unexpected(
          OpenFailure{table.error().message(), table.error().kind != TableErrorKind::Io});
    }
    return DataFile(std::move(*table));
  } catch (const std::bad_alloc&) {
    return std::unexpected(OpenFailure{"out of memory while opening the file", false});
  }
}

}  // namespace

std::expected<DataFile, std::string> open_one_data_file(const std::string& path, FileType type,
                                                        FileAccess access) {
  if (auto problem = not_a_file(path)) return std::unexpected(std::move(*problem));
  auto file = open_data_file(type, path, access);
  if (!file) return std::unexpected(std::move(file.error().reason));
  return std::move(*file);
}

std::string DbError::message() const {
  if (kind == DbErrorKind::NotADirectory) return "Not a directory: " + path;
  if (kind == DbErrorKind::Interrupted) return "Interrupted";
  return "IO error: " + error.message();
}

std::uint64_t number_of(const DataFile& file) noexcept {
  return std::visit([](const auto& f) { return f.number(); }, file);
}

FileType file_type_of(const DataFile& file) noexcept {
  return std::holds_alternative<TableFile>(file) ? FileType::Ldb : FileType::Log;
}

const std::string& path_of(const DataFile& file) noexcept {
  return std::visit([](const auto& f) -> const std::string& { return f.path(); }, file);
}

std::uint64_t length_of(const DataFile& file) noexcept {
  return std::visit([](const auto& f) -> std::uint64_t { return f.length(); }, file);
}

void ManifestSelection::offer(std::uint64_t number, const std::string& entry_path) {
  if (!path_ || number > number_) {
    number_ = number;
    path_ = entry_path;
  }
}

std::optional<ManifestFile> ManifestSelection::open_chosen(FileAccess access) const {
  if (!path_) return std::nullopt;
  auto manifest = ManifestFile::open(*path_, access);
  if (!manifest) return std::nullopt;
  return std::move(*manifest);
}

void RawLevelDb::add_skipped(SkippedFile file) {
  if (std::find(skipped_.begin(), skipped_.end(), file) == skipped_.end()) skipped_.push_back(std::move(file));
}

std::expected<RawLevelDb, DbError> RawLevelDb::open(std::string in_dir, StopToken* stop, FileAccess access) {
  if (!is_directory(in_dir)) return std::unexpected(DbError{DbErrorKind::NotADirectory, in_dir, {}});
  const DirectoryStream dir(::opendir(in_dir.c_str()));
  if (dir.get() == nullptr) return std::unexpected(DbError{DbErrorKind::Io, {}, OsError{errno}});

  const std::string prefix = in_dir.ends_with('/') ? in_dir : in_dir + '/';
  std::vector<DataFile> files;
  std::vector<SharedPath> unopened_tables;
  std::vector<SkippedFile> skipped;
  ManifestSelection manifest_selection;
  while (true) {
    if (stop != nullptr && stop->stop_requested()) {
      return std::unexpected(DbError{DbErrorKind::Interrupted, {}, {}});
    }
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(DbError{DbErrorKind::Io, {}, OsError{errno}});
      break;
    }
    // "." and ".." and every other name outside the rules are passed over
    // without a look at the file.
    const auto named = parse_entry_name(entry->d_name);
    if (!named) continue;
    std::string path = prefix;
    path.append(entry->d_name);
    const auto problem = not_a_file(path);
    if (named->kind == EntryKind::Manifest) {
      if (!problem) manifest_selection.offer(named->number, path);
      continue;
    }
    // A data file that fails to open is left out and listed; it never fails
    // the directory.
    if (problem) {
      skipped.push_back(SkippedFile{std::move(path), *problem});
      continue;
    }
    auto file = open_data_file(named->file_type, path, access);
    if (file) {
      files.push_back(std::move(*file));
    } else {
      // A table that could be read but not opened (a damaged footer or
      // index) is kept for carving.
      if (file.error().carvable) unopened_tables.push_back(std::make_shared<const std::string>(path));
      skipped.push_back(SkippedFile{std::move(path), std::move(file.error().reason)});
    }
  }
  // The manifest too: a small store's manifest is a few hundred bytes, and
  // unmapping it would cost the other threads a TLB flush like any file's.
  return RawLevelDb(std::move(in_dir), std::move(files), manifest_selection.open_chosen(access),
                    std::move(unopened_tables), std::move(skipped));
}

std::vector<std::size_t> RawLevelDb::iteration_order(bool reverse) const {
  std::vector<std::size_t> order(data_files_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  // Stable by construction: equal numbers keep their listing order. (Plain
  // sort on (number, position) rather than stable_sort, whose libstdc++
  // implementation trips a deprecation warning under clang.)
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const DataFile& fa = data_files_[a];
    const DataFile& fb = data_files_[b];
    if (precedes_in_file_order(number_of(fa), path_of(fa), number_of(fb), path_of(fb))) return true;
    if (precedes_in_file_order(number_of(fb), path_of(fb), number_of(fa), path_of(fa))) return false;
    return a < b;
  });
  if (reverse) std::reverse(order.begin(), order.end());
  return order;
}

std::vector<std::size_t> RawLevelDb::carving_order(bool reverse) const {
  const std::size_t opened = data_files_.size();
  std::vector<std::pair<std::uint64_t, std::size_t>> keyed;
  keyed.reserve(opened + unopened_tables_.size());
  for (std::size_t i = 0; i < opened; ++i) keyed.emplace_back(number_of(data_files_[i]), i);
  for (std::size_t j = 0; j < unopened_tables_.size(); ++j) {
    keyed.emplace_back(file_number_from_path(*unopened_tables_[j]), opened + j);
  }
  // By number, then position: the data files keep iteration_order's order and
  // an unopened table follows the opened files of its number.
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::size_t> order;
  order.reserve(keyed.size());
  for (const auto& entry : keyed) order.push_back(entry.second);
  if (reverse) std::reverse(order.begin(), order.end());
  return order;
}

std::uint64_t RawLevelDb::file_bytes_before(std::size_t position, std::uint64_t resume) const noexcept {
  return std::visit([&](const auto& file) { return file.bytes_before(resume); }, data_files_[position]);
}

void RawLevelDb::drop_file_pages(std::size_t position) const noexcept {
  std::visit([](const auto& file) { file.drop_pages(); }, data_files_[position]);
}

void RawLevelDb::drop_unit_pages(WalkUnit unit) const noexcept {
  if (unit.slot < data_files_.size()) drop_file_pages(unit.slot);
}

std::vector<WalkUnit> RawLevelDb::reading_order(bool reverse, bool carve) const {
  std::vector<WalkUnit> order;
  for (const std::size_t position : iteration_order(reverse)) order.push_back({WalkPass::Read, position});
  if (carve) {
    for (const std::size_t slot : carving_order(reverse)) order.push_back({WalkPass::Carve, slot});
  }
  return order;
}

const std::string& RawLevelDb::slot_path(std::size_t slot) const noexcept {
  return slot < data_files_.size() ? path_of(data_files_[slot]) : *unopened_tables_[slot - data_files_.size()];
}

std::uint64_t RawLevelDb::unit_length(WalkUnit unit) const noexcept {
  return unit.slot < data_files_.size() ? length_of(data_files_[unit.slot]) : 0;
}

}  // namespace vostrel
