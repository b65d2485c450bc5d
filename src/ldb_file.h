#pragma once
// Sorted table files (.ldb / .sst).
//
// Layout: data blocks, a metaindex block, an index block, then a 48-byte
// footer: metaindex handle, index handle (varint64 pairs), filler up to byte
// 40, and the magic number 0xdb4775248b80fb57 (little-endian) in bytes 40-47.
// Each block is followed by a 5-byte trailer: compression type (0 raw, any
// other value Snappy) and a checksum that is never verified.
//
// Block contents: entries back to back, then the restart array (num_restarts
// little-endian uint32 offsets), then num_restarts itself (uint32 LE). An
// entry is varint32 shared, varint32 non_shared, varint32 value_length, the
// non_shared key bytes that follow the previous key's first `shared` bytes,
// and the value. Only the first restart point is used: entries are decoded one
// after another from it, so `shared` need not be 0 at later restart points.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mapped_file.h"
#include "snappy.h"
#include "types.h"
#include "varint.h"

namespace vostrel {

inline constexpr std::size_t kFooterSize = 48;
inline constexpr std::size_t kBlockTrailerSize = 5;
inline constexpr std::uint64_t kTableMagic = 0xdb4775248b80fb57ull;

enum class LdbErrorKind { Io, InvalidMagic, InvalidBlock, Snappy, FileTooSmall };

struct LdbError {
  LdbErrorKind kind;
  // Io: the system text; InvalidMagic: the path; InvalidBlock: its message;
  // Snappy: the SnappyError's text; FileTooSmall: empty.
  std::string detail;
  [[nodiscard]] std::string message() const;
};

// Where the restart array begins, or nullopt when the contents are shorter
// than 4 bytes or declare more restart points than they can hold.
[[nodiscard]] std::optional<std::size_t> restart_array_offset(std::string_view contents) noexcept;

// Walks the entries of block contents from the first restart point and calls
// fn(key, value, entry_offset) for each. `key` is the full key, rebuilt in
// key_scratch, and `value` a view into contents; both are valid only during the
// call. A malformed entry ends the walk quietly. Contents without a valid
// restart array yield nothing: such a block is never decoded.
template <class Fn>
void walk_block_entries(std::string_view contents, std::string& key_scratch, Fn&& fn) {
  const auto restarts = restart_array_offset(contents);
  if (!restarts) return;
  const std::size_t limit = *restarts;
  const std::size_t size = contents.size();
  std::size_t pos = load_le32(contents.data() + limit);
  key_scratch.clear();
  while (pos < limit) {
    // Entry varints may run past `limit` into the restart array, up to the end.
    const auto shared = decode_varint(contents, pos, /*narrow=*/true);
    if (!shared) return;
    const auto non_shared = decode_varint(contents, pos + shared->length, /*narrow=*/true);
    if (!non_shared) return;
    const std::size_t v_at = pos + shared->length + non_shared->length;
    const auto value_length = decode_varint(contents, v_at, /*narrow=*/true);
    if (!value_length) return;
    const std::uint64_t shared_bytes = shared->value & 0xFFFFFFFFu;
    const std::uint64_t key_bytes = non_shared->value & 0xFFFFFFFFu;
    const std::uint64_t value_bytes = value_length->value & 0xFFFFFFFFu;
    if (shared_bytes > key_scratch.size()) return;
    const std::size_t k = v_at + value_length->length;
    if (key_bytes > size - k) return;
    key_scratch.resize(static_cast<std::size_t>(shared_bytes));
    key_scratch.append(contents.data() + k, static_cast<std::size_t>(key_bytes));
    const std::size_t v = k + static_cast<std::size_t>(key_bytes);
    if (value_bytes > size - v) return;
    fn(std::string_view(key_scratch), contents.substr(v, static_cast<std::size_t>(value_bytes)), pos);
    pos = v + static_cast<std::size_t>(value_bytes);
  }
}

// One decoded entry, owning copies of its bytes.
struct RawBlockEntry {
  std::string key;
  std::string value;
  std::size_t offset = 0;  // where the entry's first varint begins in the contents
  friend bool operator==(const RawBlockEntry&, const RawBlockEntry&) = default;
};

// A block read from a table file, owning its contents (a copy of the stored
// bytes, or the Snappy output).
struct Block {
  std::uint64_t offset = 0;  // where the block's stored bytes begin in the file
  std::string data;
  std::uint32_t num_restarts = 0;
  // data.size() - 4 - 4 * num_restarts; 0 when that would be negative, in which
  // case the block has no valid restart array and entries() is empty.
  std::size_t restart_offset = 0;
  bool was_compressed = false;

  [[nodiscard]] std::vector<RawBlockEntry> entries() const;
};

// Reused buffers for decoding many blocks: the Snappy output and the key being
// rebuilt. One per iteration, shared by all the files it reads.
struct BlockScratch {
  snappy::ScratchBuffer decompressed;
  std::string key;
};

// An opened table file. Immutable after open; movable, not copyable.
class LdbFile {
 public:
  [[nodiscard]] static std::expected<LdbFile, LdbError> open(std::string path);
  // The same checks over bytes already in memory, as open would have mapped them.
  [[nodiscard]] static std::expected<LdbFile, LdbError> from_mapped(std::string path,
                                                                    MappedFile file);

  [[nodiscard]] std::expected<Block, LdbError> read_block(const BlockHandle& handle) const;

  // Every entry of every data block the index names, in index order. Blocks
  // that cannot be read are skipped. Never fails.
  [[nodiscard]] std::vector<Record> records() const;

  template <RecordSink Sink>
  void visit_records(Sink& sink, BlockScratch& scratch) const {
    for (const auto& entry : index_) {
      const auto stored = stored_block(entry.second);
      if (!stored) continue;
      std::string_view contents = stored->contents;
      if (stored->compressed) {
        auto output = snappy::decompress_into(contents, scratch.decompressed);
        if (!output) continue;
        contents = *output;
      }
      const std::uint64_t block_offset = entry.second.offset;
      const bool compressed = stored->compressed;
      walk_block_entries(contents, scratch.key,
                         [&](std::string_view key, std::string_view value, std::size_t at) {
                           const auto [seq, state] = split_internal_key(key);
                           sink(RecordView{
                               .key = key,
                               .value = value,
                               .seq = seq,
                               .state = state,
                               .file_type = FileType::Ldb,
                               .origin_file = &path_,
                               // A compressed block has no file position per entry.
                               .offset = compressed ? block_offset : block_offset + at,
                               .was_compressed = compressed,
                           });
                         });
    }
  }

  // The sequence number and state that an internal key's trailer encodes.
  [[nodiscard]] static std::pair<std::uint64_t, KeyState> split_internal_key(
      std::string_view key) noexcept {
    if (key.size() < 8) return {0, KeyState::Unknown};
    const std::uint64_t trailer = load_le64(key.data() + key.size() - 8);
    if (key.size() == 8) return {trailer >> 8, KeyState::Unknown};
    return {trailer >> 8, (trailer & 0xFF) == 0 ? KeyState::Deleted : KeyState::Live};
  }

  [[nodiscard]] const std::string& path() const noexcept { return *path_; }
  [[nodiscard]] const SharedPath& shared_path() const noexcept { return path_; }
  [[nodiscard]] std::uint64_t number() const noexcept { return number_; }
  // False for a file shorter than a footer: open keeps no mapping for it.
  [[nodiscard]] bool has_mapping() const noexcept { return file_.has_mapping(); }
  [[nodiscard]] std::string_view bytes() const noexcept { return file_.bytes(); }
  [[nodiscard]] const std::vector<std::pair<std::string, BlockHandle>>& index() const noexcept {
    return index_;
  }

 private:
  struct StoredBlock {
    std::string_view contents;  // the stored bytes, in the mapping
    bool compressed;
  };

  LdbFile(SharedPath path, MappedFile file, std::uint64_t number) noexcept
      : path_(std::move(path)), file_(std::move(file)), number_(number) {}

  // The stored bytes and type of a block, bounds-checked against the mapping.
  [[nodiscard]] std::expected<StoredBlock, LdbError> stored_block(const BlockHandle& handle) const;

  SharedPath path_;
  MappedFile file_;
  std::uint64_t number_;
  std::vector<std::pair<std::string, BlockHandle>> index_;
};

}  // namespace vostrel
