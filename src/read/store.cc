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

// 0 when path is a directory, else why not (ENOTDIR when it is something else).
int directory_problem(const std::string& path) noexcept {
  // The system sees a path only up to its first NUL: "/data\0x" must not
  // open "/data". No directory's name contains a NUL.
  if (path.find('\0') != std::string::npos) return ENOENT;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return errno;
  return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

// The size of the regular file at path, or why the entry cannot be read as a
// file. Checked before opening, so that a device or FIFO is never opened at
// all; the open checks again on its descriptor, since the entry can change
// in between.
std::expected<std::uint64_t, std::string> regular_file_size(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::unexpected(OsError{errno}.message());
  if (!S_ISREG(status.st_mode)) return std::unexpected(std::string("not a regular file"));
  return static_cast<std::uint64_t>(std::max<off_t>(status.st_size, 0));
}

// Lists in_dir once, calling on_entry(name, path, size_or_problem) for every
// entry whose name the rules know (data files and manifests), in listing
// order. "." and ".." and every other name are passed over without a look at
// the file. `stop` is polled between entries.
template <class OnEntry>
std::expected<void, DbError> scan_directory(const std::string& in_dir, StopToken* stop, OnEntry&& on_entry) {
  if (const int problem = directory_problem(in_dir)) {
    return std::unexpected(DbError{DbErrorKind::NotADirectory, in_dir, OsError{problem}});
  }
  const DirectoryStream dir(::opendir(in_dir.c_str()));
  if (dir.get() == nullptr) return std::unexpected(DbError{DbErrorKind::Io, {}, OsError{errno}});
  const std::string prefix = in_dir.ends_with('/') ? in_dir : in_dir + '/';
  while (true) {
    if (stop != nullptr && stop->stop_requested()) {
      return std::unexpected(DbError{DbErrorKind::Interrupted, {}, {}});
    }
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(DbError{DbErrorKind::Io, {}, OsError{errno}});
      return {};
    }
    const auto named = parse_entry_name(entry->d_name);
    if (!named) continue;
    std::string path = prefix;
    path.append(entry->d_name);
    const auto size = regular_file_size(path);
    on_entry(*named, std::move(path), size);
  }
}

// The listed files put in file order.
void put_in_file_order(std::vector<ListedDataFile>& listed) {
  const auto order = file_order(listed.size(), [&](std::size_t i) {
    return std::pair<std::uint64_t, std::string_view>(listed[i].number, listed[i].path);
  });
  std::vector<ListedDataFile> ordered;
  ordered.reserve(listed.size());
  for (const std::size_t i : order) ordered.push_back(std::move(listed[i]));
  listed = std::move(ordered);
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
  if (auto size = regular_file_size(path); !size) return std::unexpected(std::move(size.error()));
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

std::expected<std::vector<ListedDataFile>, DbError> list_data_files(const std::string& in_dir, StopToken* stop) {
  std::vector<ListedDataFile> listed;
  auto scanned = scan_directory(in_dir, stop, [&](const EntryName& named, std::string path,
                                                  const std::expected<std::uint64_t, std::string>& size) {
    if (named.kind == EntryKind::DataFile && size) {
      listed.push_back(ListedDataFile{std::move(path), named.file_type, named.number, *size});
    }
  });
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  put_in_file_order(listed);
  return listed;
}

std::expected<RawLevelDb, DbError> RawLevelDb::open(std::string in_dir, StopToken* stop, FileAccess access) {
  std::vector<DataFile> files;
  std::vector<ListedDataFile> listed;
  std::vector<SharedPath> unopened_tables;
  std::vector<SkippedFile> skipped;
  ManifestSelection manifest_selection;
  auto scanned = scan_directory(in_dir, stop, [&](const EntryName& named, std::string path,
                                                  const std::expected<std::uint64_t, std::string>& size) {
    if (named.kind == EntryKind::Manifest) {
      if (size) manifest_selection.offer(named.number, path);
      return;
    }
    // A data file that fails to open is left out and listed; it never fails
    // the directory.
    if (!size) {
      skipped.push_back(SkippedFile{std::move(path), size.error()});
      return;
    }
    listed.push_back(ListedDataFile{path, named.file_type, named.number, *size});
    auto file = open_data_file(named.file_type, path, access);
    if (file) {
      files.push_back(std::move(*file));
    } else {
      // A table that could be read but not opened (a damaged footer or
      // index) is kept for carving.
      if (file.error().carvable) unopened_tables.push_back(std::make_shared<const std::string>(path));
      skipped.push_back(SkippedFile{std::move(path), std::move(file.error().reason)});
    }
  });
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  put_in_file_order(listed);
  // The manifest too: a small store's manifest is a few hundred bytes, and
  // unmapping it would cost the other threads a TLB flush like any file's.
  return RawLevelDb(std::move(in_dir), std::move(files), std::move(listed), manifest_selection.open_chosen(access),
                    std::move(unopened_tables), std::move(skipped));
}

std::vector<std::size_t> RawLevelDb::iteration_order(bool reverse) const {
  // Equal numbers keep their listing order.
  auto order = file_order(data_files_.size(), [&](std::size_t i) {
    return std::pair<std::uint64_t, std::string_view>(number_of(data_files_[i]), path_of(data_files_[i]));
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
