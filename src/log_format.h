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

// How long the logical record is whose first fragment ends at `pos`, as the
// headers of the fragments that follow it say: a capacity hint for joining
// it, so that a record of a gigabyte is not copied over and over (holding two
// copies at once) while its buffer grows. Never more than data.size().
[[nodiscard]] inline std::size_t fragmented_length_hint(std::string_view data, std::size_t pos,
                                                        std::size_t first_length) noexcept {
  std::size_t total = first_length;
  while (pos < data.size()) {
    const std::size_t in_block = kLogBlockSize - pos % kLogBlockSize;
    if (in_block < kLogHeaderSize) {  // trailer padding: the next fragment opens the next block
      pos += in_block;
      continue;
    }
    if (data.size() - pos < kLogHeaderSize) break;
    const auto type = static_cast<std::uint8_t>(data[pos + 6]);
    const std::size_t length = static_cast<std::uint8_t>(data[pos + 4]) |
                               (static_cast<std::size_t>(static_cast<std::uint8_t>(data[pos + 5])) << 8);
    if (length > in_block - kLogHeaderSize || length > data.size() - pos - kLogHeaderSize) break;
    if (type != static_cast<std::uint8_t>(LogRecordType::Middle) &&
        type != static_cast<std::uint8_t>(LogRecordType::Last)) {
      break;
    }
    total += length;
    if (type == static_cast<std::uint8_t>(LogRecordType::Last)) break;
    pos += kLogHeaderSize + length;
  }
  return total < data.size() ? total : data.size();
}

// Walks the framing of `data` from byte `start` and calls fn(offset, payload)
// for each logical record as it completes; fn returns whether to go on. The
// payload view is valid only during the call: it points into `data` for a full
// record and into `joined` (a caller's reusable buffer) for a fragmented one.
// An unfinished record is discarded when a new first or full record begins,
// and dropped at the end of the data. Never fails.
//
// Returns where the walk stopped: just past the physical record that completed
// the last logical record handed to fn, or data.size() at the end. No fragment
// is pending at that point, so a walk started there continues exactly where
// this one left off; `start` must be such a point (0, or a returned value).
template <class Fn>
std::size_t walk_logical_records_from(std::string_view data, std::size_t start, std::string& joined,
                                      Fn&& fn) {
  bool pending = false;
  std::uint64_t pending_offset = 0;
  if (start >= data.size()) return data.size();
  std::size_t pos = start % kLogBlockSize;
  for (std::size_t block_start = start - pos; block_start < data.size();
       block_start += kLogBlockSize, pos = 0) {
    const std::string_view block = data.substr(block_start, kLogBlockSize);
    while (block.size() - pos >= kLogHeaderSize) {
      const auto type = static_cast<std::uint8_t>(block[pos + 6]);
      if (type > static_cast<std::uint8_t>(LogRecordType::Last)) break;
      const std::size_t length = static_cast<std::uint8_t>(block[pos + 4]) |
                                 (static_cast<std::size_t>(static_cast<std::uint8_t>(block[pos + 5])) << 8);
      if (length > block.size() - pos - kLogHeaderSize) break;
      const std::string_view payload = block.substr(pos + kLogHeaderSize, length);
      pos += kLogHeaderSize + length;
      const std::uint64_t end = block_start + pos;
      switch (static_cast<LogRecordType>(type)) {
        case LogRecordType::Zero:
          break;
        case LogRecordType::Full:
          pending = false;
          if (!fn(end, payload)) return block_start + pos;
          break;
        case LogRecordType::First:
          joined.clear();
          joined.reserve(fragmented_length_hint(data, block_start + pos, payload.size()));
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
            if (!fn(pending_offset, std::string_view(joined))) return block_start + pos;
          }
          break;
      }
    }
  }
  return data.size();
}

// The whole walk, every logical record handed to fn(offset, payload).
template <class Fn>
void walk_logical_records(std::string_view data, std::string& joined, Fn&& fn) {
  walk_logical_records_from(data, 0, joined, [&](std::uint64_t offset, std::string_view payload) {
    fn(offset, payload);
    return true;
  });
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
