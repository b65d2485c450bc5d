#pragma once
// The physical framing shared by write-ahead logs and manifests: the file is a
// run of 32 KiB blocks, each holding physical records with a 7-byte header:
// checksum (4 bytes, never read), payload length (2 bytes, little-endian),
// record type (1 byte). Types: 0 zero (skipped), 1 full, 2 first, 3 middle,
// 4 last; any other type ends the walk of its block. A physical record never
// crosses a block boundary; fewer than 7 bytes left at the end of a block are
// padding. First/middle/last fragments join into one logical record, across
// blocks.
//
// What a logical record carries is its user's business: a write batch in a log
// (write_batch.h), a version edit in a manifest (manifest.h).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "byte_buffer.h"
#include "mapped_file.h"
#include "safe_copy.h"
#include "stop_token.h"

namespace vostrel {

inline constexpr std::size_t kLogBlockSize = 32768;
inline constexpr std::size_t kLogHeaderSize = 7;

enum class LogRecordType : std::uint8_t { Zero = 0, Full = 1, First = 2, Middle = 3, Last = 4 };

// A complete logical record. `offset` is the file position just after the
// physical record that carries its first fragment (for a full record, the
// record itself).
struct LogicalRecord {
  std::uint64_t offset = 0;
  std::string payload;
  friend bool operator==(const LogicalRecord&, const LogicalRecord&) = default;
};

// Walks the physical records of one 32 KiB block (or the shorter last one)
// as the framing reads them, and calls fn(position, type, payload) for each:
// position of its header in the block, type 0 to 4, payload a view into
// block. A type above 4 or a length that runs past the block ends the walk, as
// do fewer than 7 bytes left. Returns where the walk stopped: the bytes from
// there to the block's end are what the framing skips.
template <class Fn>
std::size_t walk_physical_records(std::string_view block, Fn&& fn) {
  std::size_t pos = 0;
  while (block.size() - pos >= kLogHeaderSize) {
    const auto type = static_cast<std::uint8_t>(block[pos + 6]);
    if (type > static_cast<std::uint8_t>(LogRecordType::Last)) break;
    const std::size_t length = static_cast<std::uint8_t>(block[pos + 4]) |
                               (static_cast<std::size_t>(static_cast<std::uint8_t>(block[pos + 5])) << 8);
    if (length > block.size() - pos - kLogHeaderSize) break;
    const std::size_t at = pos;
    pos += kLogHeaderSize + length;
    fn(at, static_cast<LogRecordType>(type), block.substr(at + kLogHeaderSize, length));
  }
  return pos;
}

// Walks the framing of a file of `size` bytes whose 32 KiB blocks come from
// read_block(block_start) -> std::optional<std::string_view> (at most
// kLogBlockSize bytes; shorter only for the file's last block or where bytes
// were lost), and calls fn(offset, payload) for each logical record as it
// completes. nullopt from read_block ends the walk there. The payload view is
// valid only during the call: it points into the block for a full record and
// into `joined` (a caller's reusable buffer) for a fragmented one. An
// unfinished record is discarded when a new first or full record begins, and
// dropped at the end of the data. Never fails.
template <class ReadBlock, class Fn>
void walk_log_blocks(std::uint64_t size, ReadBlock&& read_block, std::string& joined, Fn&& fn) {
  bool pending = false;
  std::uint64_t pending_offset = 0;
  for (std::uint64_t block_start = 0; block_start < size; block_start += kLogBlockSize) {
    const std::optional<std::string_view> next = read_block(block_start);
    if (!next) return;
    const std::string_view block = *next;
    walk_physical_records(block, [&](std::size_t at, LogRecordType type, std::string_view payload) {
      const std::uint64_t end = block_start + at + kLogHeaderSize + payload.size();
      switch (type) {
        case LogRecordType::Zero:
          break;
        case LogRecordType::Full:
          pending = false;
          fn(end, payload);
          break;
        case LogRecordType::First:
          joined.assign(payload);
          pending_offset = end;
          pending = true;
          break;
        case LogRecordType::Middle:
          if (pending) joined.append(payload);
          break;
        case LogRecordType::Last:
          if (pending) {
            joined.append(payload);
            pending = false;
            fn(pending_offset, std::string_view(joined));
          }
          break;
      }
    });
  }
}

// The walk over bytes in memory.
template <class Fn>
void walk_logical_records(std::string_view data, std::string& joined, Fn&& fn) {
  walk_log_blocks(
      data.size(),
      [&](std::uint64_t start) -> std::optional<std::string_view> {
        return data.substr(static_cast<std::size_t>(start), kLogBlockSize);
      },
      joined, std::forward<Fn>(fn));
}

// The walk over a file, each block copied out of it into `block` first
// (mapped_file.h), so that a file shrinking underneath ends the walk after
// what could still be read. Blocks that lay wholly in a hole of a sparse file
// are passed over without reading: zeros frame nothing (zero-type headers of
// length 0) and leave a pending record pending, exactly as if read. `stop`,
// polled before each block, ends the walk early.
template <class Fn>
void walk_logical_records(const MappedFile& file, ByteBuffer& block, std::string& joined,
                          StopToken& stop, Fn&& fn) {
  prepare_fault_guard();
  const std::uint64_t size = file.size();
  walk_log_blocks(
      size,
      [&](std::uint64_t start) -> std::optional<std::string_view> {
        if (stop.stop_requested()) return std::nullopt;
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kLogBlockSize, size - start));
        if (file.in_hole(start, wanted)) return std::string_view();
        const std::string_view bytes = file.read(start, wanted, block);
        // A block cut short by lost bytes is still walked; the next one ends it.
        if (bytes.empty()) return std::nullopt;
        return bytes;
      },
      joined, std::forward<Fn>(fn));
}

// The same walk with a buffer of its own.
template <class Fn>
void walk_logical_records(std::string_view data, Fn&& fn) {
  std::string joined;
  walk_logical_records(data, joined, std::forward<Fn>(fn));
}

// The same walk, collecting owned copies. An empty view (no mapping) yields none.
[[nodiscard]] std::vector<LogicalRecord> read_logical_records(std::string_view data);

}  // namespace vostrel
