#include "format/version_edit.h"

#include "base/utf8.h"
#include "base/varint.h"

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

}  // namespace vostrel
