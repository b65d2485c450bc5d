#pragma once
// The contents of one table block (index or data), once stored raw again:
// entries back to back, then the restart array (num_restarts little-endian
// uint32 offsets), then num_restarts itself (uint32 LE).
//
// An entry is varint32 shared, varint32 non_shared, varint32 value_length, the
// non_shared key bytes that follow the previous key's first `shared` bytes, and
// the value. Only the first restart point is used: entries are decoded one
// after another from it, so `shared` need not be 0 at later restart points.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/varint.h"

namespace vostrel {

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
    std::uint64_t shared_bytes = 0;
    std::uint64_t key_bytes = 0;
    std::uint64_t value_bytes = 0;
    std::size_t k = 0;  // where the key bytes begin
    // Most entries have three one-byte varints; the restart array's four
    // bytes at least follow `limit`, so three bytes from pos are there.
    const auto* header = reinterpret_cast<const unsigned char*>(contents.data() + pos);
    if ((header[0] | header[1] | header[2]) < 0x80) {
      shared_bytes = header[0];
      key_bytes = header[1];
      value_bytes = header[2];
      k = pos + 3;
    } else {
      // Entry varints may run past `limit` into the restart array, up to the end.
      const auto shared = decode_varint(contents, pos, /*narrow=*/true);
      if (!shared) return;
      const auto non_shared = decode_varint(contents, pos + shared->length, /*narrow=*/true);
      if (!non_shared) return;
      const std::size_t v_at = pos + shared->length + non_shared->length;
      const auto value_length = decode_varint(contents, v_at, /*narrow=*/true);
      if (!value_length) return;
      shared_bytes = shared->value & 0xFFFFFFFFu;
      key_bytes = non_shared->value & 0xFFFFFFFFu;
      value_bytes = value_length->value & 0xFFFFFFFFu;
      k = v_at + value_length->length;
    }
    if (shared_bytes > key_scratch.size()) return;
    if (key_bytes > size - k) return;
    key_scratch.resize(static_cast<std::size_t>(shared_bytes));
    key_scratch.append(contents.data() + k, static_cast<std::size_t>(key_bytes));
    const std::size_t v = k + static_cast<std::size_t>(key_bytes);
    if (value_bytes > size - v) return;
    fn(std::string_view(key_scratch), contents.substr(v, static_cast<std::size_t>(value_bytes)), pos);
    pos = v + static_cast<std::size_t>(value_bytes);
  }
}

// Whether contents are a block exactly as LevelDB's block builder lays one
// out, with nothing left over: at least one restart point, the first at 0,
// the rest strictly increasing and each the start of an entry that shares
// nothing with the key before it; at least one entry; and the entries ending
// exactly where the restart array begins. The readers never ask this (they
// take whatever decodes); carving does, to tell a block from bytes that merely
// sit before a matching checksum.
[[nodiscard]] bool is_well_formed_block(std::string_view contents);

// One decoded entry, owning copies of its bytes.
struct BlockEntry {
  std::string key;
  std::string value;
  std::size_t offset = 0;  // where the entry's first varint begins in the contents
  friend bool operator==(const BlockEntry&, const BlockEntry&) = default;
};

// Every entry of block contents, copied: the same walk as walk_block_entries.
[[nodiscard]] std::vector<BlockEntry> block_entries(std::string_view contents);

// One block read from a table file, owning a copy of its contents (the stored
// bytes, or the decompressed ones).
struct Block {
  std::uint64_t offset = 0;  // where the block's stored bytes begin in the file
  std::string data;
  std::uint32_t num_restarts = 0;
  // data.size() - 4 - 4 * num_restarts; 0 when that would be negative, in which
  // case the block has no valid restart array and entries() is empty.
  std::size_t restart_offset = 0;
  bool was_compressed = false;

  [[nodiscard]] static Block copy_of(std::uint64_t offset, std::string_view contents,
                                     bool was_compressed);
  [[nodiscard]] std::vector<BlockEntry> entries() const { return block_entries(data); }
};

}  // namespace vostrel
