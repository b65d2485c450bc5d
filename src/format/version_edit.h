#pragma once
// A version edit: one logical record of a manifest, a run of tagged fields:
//   1 comparator (length-prefixed text)      6 deleted file (varint32 level, varint64 number)
//   2 log number (varint64)                  7 new file (varint32 level, varint64 number,
//   3 next file number (varint64)              varint64 size, smallest and largest keys
//   4 last sequence (varint64)                 as length-prefixed bytes)
//   5 compact pointer (varint32 level,       8 (obsolete) ends decoding here
//     length-prefixed key)                   9 previous log number (varint64)
// Levels and tags are varint32 reads kept whole (up to 35 bits).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

}  // namespace vostrel
