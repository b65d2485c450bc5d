#include "read/manifest_file.h"

#include "format/file_name.h"
#include "read/framed_file.h"

namespace vostrel {
namespace {

// The number in a manifest's name, or nullopt when the name is not a manifest's.
std::optional<std::uint64_t> manifest_number(std::string_view name) noexcept {
  const auto entry = parse_entry_name(name);
  if (!entry || entry->kind != EntryKind::Manifest) return std::nullopt;
  return entry->number;
}

}  // namespace

std::string ManifestError::message() const {
  if (kind == ManifestErrorKind::InvalidFilename) return "invalid manifest filename";
  return "manifest I/O error: " + error.message();
}

std::expected<ManifestFile, ManifestError> ManifestFile::open(std::string path, FileAccess access) {
  if (!manifest_number(final_component(path))) {
    return std::unexpected(ManifestError{ManifestErrorKind::InvalidFilename, {}});
  }
  auto file = MappedFile::open(path, access);
  if (!file) return std::unexpected(ManifestError{ManifestErrorKind::Io, file.error()});
  return from_mapped(std::move(path), std::move(*file));
}

std::expected<ManifestFile, ManifestError> ManifestFile::from_mapped(std::string path,
                                                                    MappedFile file) {
  const auto number = manifest_number(final_component(path));
  if (!number) return std::unexpected(ManifestError{ManifestErrorKind::InvalidFilename, {}});
  return ManifestFile(std::move(path), std::move(file), *number);
}

std::unordered_map<std::uint64_t, std::uint64_t> ManifestFile::file_levels() const {
  std::unordered_map<std::uint64_t, std::uint64_t> levels;
  // Edits are folded into the table as they are decoded and dropped at once, so
  // a manifest grown to hundreds of megabytes is read in one streaming pass.
  ByteBuffer block;
  std::string joined;
  StopToken never;
  walk_logical_records(file_, block, joined, never, [&](std::uint64_t, std::string_view payload) {
    const VersionEdit edit = VersionEdit::from_buffer(payload);
    for (const NewFile& added : edit.new_files) levels[added.number] = added.level;
  });
  return levels;
}

std::vector<VersionEdit> ManifestFile::version_edits() const {
  std::vector<VersionEdit> edits;
  ByteBuffer block;
  std::string joined;
  StopToken never;
  walk_logical_records(file_, block, joined, never, [&](std::uint64_t, std::string_view payload) {
    edits.push_back(VersionEdit::from_buffer(payload));
  });
  return edits;
}

}  // namespace vostrel
