#include "manifest.h"

#include "file_name.h"
#include "log_format.h"
#include "utf8.h"
#include "varint.h"

namespace vostrel {
namespace {

enum Tag : std::uint64_t {
  kComparator = 1,
  kLogNumber = 2,
  kNextFileNumber = 3,
  kLastSequence = 4,
  kCompactPointer = 5,
  kDeletedFile = 6,
  kNewFile = 7,
  kObsoleteLargeValueRef = 8,
  kPrevLogNumber = 9,
};

constexpr bool kNarrow = true;  // varint32: tags and levels, all 35 bits kept
constexpr bool kWide = false;   // varint64

// The number in a manifest's name, or nullopt when the name is not a manifest's.
std::optional<std::uint64_t> manifest_number(std::string_view name) noexcept {
  const auto entry = parse_entry_name(name);
  if (!entry || entry->kind != EntryKind::Manifest) return std::nullopt;
  return entry->number;
}

}  // namespace

VersionEdit VersionEdit::from_buffer(std::string_view payload) {
  VersionEdit edit;
  SliceCursor in(payload);
  // Decoding ends when at most one unread byte remains: a lone trailing byte
  // is never read as a tag.
  while (payload.size() >= 2 && in.pos() < payload.size() - 1) {
    const auto tag = in.read_varint(kNarrow);
    if (!tag) break;
    switch (*tag) {
      case kComparator:
        if (const auto name = in.read_length_prefixed_blob()) {
          edit.comparator = is_valid_utf8(*name) ? std::optional<std::string>(*name) : std::nullopt;
        }
        break;
      case kLogNumber:
        edit.log_number = in.read_varint(kWide);
        break;
      case kNextFileNumber:
        edit.next_file_number = in.read_varint(kWide);
        break;
      case kLastSequence:
        edit.last_sequence = in.read_varint(kWide);
        break;
      case kCompactPointer: {
        const auto level = in.read_varint(kNarrow).value_or(0);
        const auto key = in.read_length_prefixed_blob().value_or(std::string_view{});
        edit.compact_pointers.emplace_back(level, std::string(key));
        break;
      }
      case kDeletedFile: {
        const auto level = in.read_varint(kNarrow).value_or(0);
        const auto number = in.read_varint(kWide).value_or(0);
        edit.deleted_files.emplace_back(level, number);
        break;
      }
      case kNewFile: {
        NewFile file;
        file.level = in.read_varint(kNarrow).value_or(0);
        file.number = in.read_varint(kWide).value_or(0);
        file.file_size = in.read_varint(kWide).value_or(0);
        file.smallest = std::string(in.read_length_prefixed_blob().value_or(std::string_view{}));
        file.largest = std::string(in.read_length_prefixed_blob().value_or(std::string_view{}));
        edit.new_files.push_back(std::move(file));
        break;
      }
      case kPrevLogNumber:
        edit.prev_log_number = in.read_varint(kWide);
        break;
      case kObsoleteLargeValueRef:
      default:
        return edit;
    }
  }
  return edit;
}

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
  ManifestFile manifest(std::move(path), std::move(file), *number);
  // Edits are folded into the table as they are decoded and dropped at once, so
  // a manifest grown to hundreds of megabytes is read in one streaming pass.
  ByteBuffer block;
  std::string joined;
  StopToken never;
  walk_logical_records(manifest.file_, block, joined, never, [&](std::uint64_t, std::string_view payload) {
    const VersionEdit edit = VersionEdit::from_buffer(payload);
    for (const NewFile& added : edit.new_files) manifest.file_levels_[added.number] = added.level;
  });
  return manifest;
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
