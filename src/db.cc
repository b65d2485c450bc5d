#include "db.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "file_number.h"

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

char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) noexcept {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(),
                    [](char a, char b) { return ascii_lower(a) == b; });
}

}  // namespace

std::string DbError::message() const {
  if (kind == DbErrorKind::NotADirectory) return "Not a directory: " + path;
  return "IO error: " + error.message();
}

std::uint64_t number_of(const DataFile& file) noexcept {
  return std::visit([](const auto& f) { return f.number(); }, file);
}

std::optional<DataFileKind> classify_data_file_name(std::string_view name) noexcept {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view stem = name.substr(0, dot);
  const std::string_view extension = name.substr(dot + 1);
  if (stem.size() != 6 || !std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  if (equals_ignoring_case(extension, "log")) return DataFileKind::Log;
  if (equals_ignoring_case(extension, "ldb") || equals_ignoring_case(extension, "sst")) {
    return DataFileKind::Ldb;
  }
  return std::nullopt;
}

void ManifestSelection::offer(std::string_view name, const std::string& entry_path) {
  const auto number = manifest_number(name);
  if (!number) return;
  if (!path_ || *number > number_) {
    number_ = *number;
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
  ManifestSelection manifest_selection;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(DbError{DbErrorKind::Io, {}, OsError{errno}});
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = prefix;
    path.append(name);
    if (!is_regular_file(path) || !is_valid_utf8(name)) continue;

    if (const auto kind = classify_data_file_name(name)) {
      // A file that fails to open in its reader is left out; it never fails the directory.
      if (*kind == DataFileKind::Log) {
        if (auto log = LogFile::open(path)) files.emplace_back(std::move(*log));
      } else {
        if (auto table = LdbFile::open(path)) files.emplace_back(std::move(*table));
      }
    }
    manifest_selection.offer(name, path);
  }
  return RawLevelDb(std::move(in_dir), std::move(files), manifest_selection.open_chosen());
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

std::vector<Record> RawLevelDb::iterate_records_raw(bool reverse) const {
  VectorSink sink;
  visit_records(reverse, sink);
  return std::move(sink).take();
}

}  // namespace vostrel
