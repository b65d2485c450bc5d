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

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Walks the framing of `data` and calls fn(offset, payload) for each logical
// record as it completes. The payload view is valid only during the call: it
// points into `data` for a full record and into `joined` (a caller's reusable
// buffer) for a fragmented one. An unfinished record is discarded when a new
// first or full record begins, and dropped at the end of the data. Never fails.
template <class Fn>
void walk_logical_records(std::string_view data, std::string& joined, Fn&& fn) {
  bool pending = false;
  std::uint64_t pending_offset = 0;
  for (std::size_t block_start = 0; block_start < data.size(); block_start += kLogBlockSize) {
    const std::string_view block = data.substr(block_start, kLogBlockSize);
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

// The same walk with a buffer of its own.
template <class Fn>
void walk_logical_records(std::string_view data, Fn&& fn) {
  std::string joined;
  walk_logical_records(data, joined, std::forward<Fn>(fn));
}

// The same walk, collecting owned copies. An empty view (no mapping) yields none.
[[nodiscard]] std::vector<LogicalRecord> read_logical_records(std::string_view data);

}  // namespace vostrel
