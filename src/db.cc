#include "db.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>


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

bool is_regular_file(const std::string& path) noexcept {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

std::string DbError::message() const {
  if (kind == DbErrorKind::NotADirectory) return "Not a directory: " + path;
  return "IO error: " + error.message();
}

std::uint64_t number_of(const DataFile& file) noexcept {
  return std::visit([](const auto& f) { return f.number(); }, file);
}

FileType file_type_of(const DataFile& file) noexcept {
  return std::holds_alternative<LdbFile>(file) ? FileType::Ldb : FileType::Log;
}

const std::string& path_of(const DataFile& file) noexcept {
  return std::visit([](const auto& f) -> const std::string& { return f.path(); }, file);
}

std::expected<DataFile, DataFileOpenFailure> open_data_file(std::string path, FileType type) {
  if (!is_regular_file(path)) return std::unexpected(DataFileOpenFailure::NotARegularFile);
  if (type == FileType::Log) {
    auto log = LogFile::open(std::move(path));
    if (!log) return std::unexpected(DataFileOpenFailure::Io);
    return DataFile(std::move(*log));
  }
  auto table = LdbFile::open(std::move(path));
  if (!table) {
    return std::unexpected(table.error().kind == LdbErrorKind::Io ? DataFileOpenFailure::Io
                                                                  : DataFileOpenFailure::Structure);
  }
  return DataFile(std::move(*table));
}

void ManifestSelection::offer(std::uint64_t number, const std::string& entry_path) {
  if (!path_ || number > number_) {
    number_ = number;
    path_ = entry_path;
  }
}

std::optional<ManifestFile> ManifestSelection::open_chosen() const {
  if (!path_) return std::nullopt;
  auto manifest = ManifestFile::open(*path_);
  if (!manifest) return std::nullopt;
  return std::move(*manifest);
}

std::expected<RawLevelDb, DbError> RawLevelDb::open(std::string in_dir) {
  if (!is_directory(in_dir)) return std::unexpected(DbError{DbErrorKind::NotADirectory, in_dir, {}});
  const DirectoryStream dir(::opendir(in_dir.c_str()));
  if (dir.get() == nullptr) return std::unexpected(DbError{DbErrorKind::Io, {}, OsError{errno}});

  const std::string prefix = in_dir.ends_with('/') ? in_dir : in_dir + '/';
  std::vector<DataFile> files;
  std::vector<SharedPath> unopened_tables;
  ManifestSelection manifest_selection;
  while (true) {
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
    if (named->kind == EntryKind::Manifest) {
      if (is_regular_file(path)) manifest_selection.offer(named->number, path);
    } else {
      // A file that fails to open in its reader is left out; it never fails
      // the directory. A table whose frame does not decode is kept aside for
      // carving.
      auto file = open_data_file(path, named->file_type);
      if (file) {
        files.emplace_back(std::move(*file));
      } else if (file.error() == DataFileOpenFailure::Structure) {
        unopened_tables.push_back(std::make_shared<const std::string>(std::move(path)));
      }
    }
  }
  return RawLevelDb(std::move(in_dir), std::move(files), manifest_selection.open_chosen(),
                    std::move(unopened_tables));
}

std::vector<std::size_t> RawLevelDb::iteration_order(bool reverse) const {
  std::vector<std::size_t> order(data_files_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  // Stable by construction: equal numbers keep their listing order. (Plain
  // sort on (number, position) rather than stable_sort, whose libstdc++
  // implementation trips a deprecation warning under clang.)
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const std::uint64_t na = number_of(data_files_[a]);
    const std::uint64_t nb = number_of(data_files_[b]);
    return na != nb ? na < nb : a < b;
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

std::vector<Record> RawLevelDb::iterate_records_raw(bool reverse) const {
  VectorSink sink;
  visit_records(reverse, sink);
  return std::move(sink).take();
}

}  // namespace vostrel
