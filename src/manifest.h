#pragma once
// Manifests (named as file_name.h says). A manifest is framed exactly like a
// write-ahead log (log_format.h); each logical record is a version edit, a run of
// tagged fields:
//   1 comparator (length-prefixed text)      6 deleted file (varint32 level, varint64 number)
//   2 log number (varint64)                  7 new file (varint32 level, varint64 number,
//   3 next file number (varint64)              varint64 size, smallest and largest keys
//   4 last sequence (varint64)                 as length-prefixed bytes)
//   5 compact pointer (varint32 level,       8 (obsolete) ends decoding here
//     length-prefixed key)                   9 previous log number (varint64)
// Levels and tags are varint32 reads kept whole (up to 35 bits).

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mapped_file.h"

namespace vostrel {

struct NewFile {
  std::uint64_t level = 0;
  std::uint64_t number = 0;
  std::uint64_t file_size = 0;
  std::string smallest;
  std::string largest;
  friend bool operator==(const NewFile&, const NewFile&) = default;
};

struct VersionEdit {
  std::optional<std::string> comparator;
  std::optional<std::uint64_t> log_number;
  std::optional<std::uint64_t> next_file_number;
  std::optional<std::uint64_t> last_sequence;
  std::vector<std::pair<std::uint64_t, std::string>> compact_pointers;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> deleted_files;
  std::vector<NewFile> new_files;
  std::optional<std::uint64_t> prev_log_number;

  // Total: any payload, however damaged, gives an edit. A failed item read
  // consumes nothing; see the tag rules in the implementation.
  [[nodiscard]] static VersionEdit from_buffer(std::string_view payload);
  friend bool operator==(const VersionEdit&, const VersionEdit&) = default;
};

enum class ManifestErrorKind { InvalidFilename, Io };

struct ManifestError {
  ManifestErrorKind kind;
  OsError error;  // Io only
  [[nodiscard]] std::string message() const;
};

class ManifestFile {
 public:
  // Checks the name of the path's final component before touching any file.
  // access as for a data file (mapped_file.h).
  [[nodiscard]] static std::expected<ManifestFile, ManifestError> open(std::string path,
                                                                       FileAccess access = FileAccess::Map);
  [[nodiscard]] static std::expected<ManifestFile, ManifestError> from_mapped(std::string path,
                                                                              MappedFile file);

  // One edit per logical record, in file order.
  [[nodiscard]] std::vector<VersionEdit> version_edits() const;

  // Table file number -> level of its last addition. Deletions remove nothing.
  [[nodiscard]] const std::unordered_map<std::uint64_t, std::uint64_t>& file_levels() const noexcept {
    return file_levels_;
  }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  [[nodiscard]] std::uint64_t number() const noexcept { return number_; }
  [[nodiscard]] std::size_t length() const noexcept { return file_.size(); }
  [[nodiscard]] bool has_mapping() const noexcept { return file_.has_mapping(); }

 private:
  ManifestFile(std::string path, MappedFile file, std::uint64_t number) noexcept
      : path_(std::move(path)), file_(std::move(file)), number_(number) {}

  std::string path_;
  MappedFile file_;
  std::uint64_t number_;
  std::unordered_map<std::uint64_t, std::uint64_t> file_levels_;
};

}  // namespace vostrel
