#pragma once
// Manifests (named as file_name.h says). A manifest is framed exactly like a
// write-ahead log (log_format.h); each logical record is a version edit
// (version_edit.h).

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "format/version_edit.h"
#include "io/mapped_file.h"

namespace vostrel {

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
  // Decoded on each call, in one streaming pass: opening a store does not
  // decode its manifest.
  [[nodiscard]] std::unordered_map<std::uint64_t, std::uint64_t> file_levels() const;
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  [[nodiscard]] std::uint64_t number() const noexcept { return number_; }
  [[nodiscard]] std::size_t length() const noexcept { return file_.size(); }
  [[nodiscard]] bool has_mapping() const noexcept { return file_.has_mapping(); }
  // The file's bytes, read only through MappedFile::read.
  [[nodiscard]] const MappedFile& file() const noexcept { return file_; }

 private:
  ManifestFile(std::string path, MappedFile file, std::uint64_t number) noexcept
      : path_(std::move(path)), file_(std::move(file)), number_(number) {}

  std::string path_;
  MappedFile file_;
  std::uint64_t number_;
};

}  // namespace vostrel
