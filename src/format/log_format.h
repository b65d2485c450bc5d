#pragma once
// The physical framing shared by write-ahead logs and manifests: the file is a
// run of 32 KiB blocks, each holding physical records with a 7-byte header:
// checksum (4 bytes, read only by the carvers, the structure walk and a walk
// asked for positions, none of which drops a record whose checksum fails),
// payload length (2 bytes, little-endian), record type (1 byte). Types: 0 zero (skipped), 1 full, 2 first, 3 middle,
// 4 last; any other type ends the walk of its block. A physical record never
// crosses a block boundary; fewer than 7 bytes left at the end of a block are
// padding. First/middle/last fragments join into one logical record, across
// blocks.
//
// What a logical record carries is its user's business: a write batch in a log
// (write_batch.h), a version edit in a manifest (version_edit.h).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/crc32c.h"
#include "base/varint.h"
#include "format/record.h"

namespace vostrel {

inline constexpr std::size_t kLogBlockSize = 32768;
inline constexpr std::size_t kLogHeaderSize = 7;

enum class LogRecordType : std::uint8_t { Zero = 0, Full = 1, First = 2, Middle = 3, Last = 4 };

// The 7-byte header of a physical record, as stored.
struct LogHeader {
  std::uint32_t masked_crc;  // CRC32C of the type byte and the payload, masked
  std::size_t length;        // of the payload
  std::uint8_t type;         // LogRecordType when at most 4; anything else is damage
};

// REQUIRES: header.size() >= kLogHeaderSize.
[[nodiscard]] inline LogHeader decode_log_header(std::string_view header) noexcept {
  return LogHeader{load_le32(header.data()),
                   static_cast<std::size_t>(static_cast<std::uint8_t>(header[4])) |
                       (static_cast<std::size_t>(static_cast<std::uint8_t>(header[5])) << 8),
                   static_cast<std::uint8_t>(header[6])};
}

// The bytes a physical record's checksum covers: its type byte and payload.
// REQUIRES: the record lies whole in bytes from `at`.
[[nodiscard]] inline std::string_view log_checksummed_bytes(std::string_view bytes, std::size_t at,
                                                            const LogHeader& header) noexcept {
  return bytes.substr(at + 6, header.length + 1);
}

// Whether the record's stored checksum holds. REQUIRES: as above.
[[nodiscard]] inline bool log_checksum_matches(std::string_view bytes, std::size_t at,
                                               const LogHeader& header) noexcept {
  return crc32c(log_checksummed_bytes(bytes, at, header)) == crc32c_unmask(header.masked_crc);
}

// A complete logical record. `offset` is the file position just after the
// physical record that carries its first fragment (for a full record, the
// record itself).
struct LogicalRecord {
  std::uint64_t offset = 0;
  std::string payload;
  friend bool operator==(const LogicalRecord&, const LogicalRecord&) = default;
};

// Walks the physical records of one 32 KiB block (or the shorter last one)
// from `pos` as the framing reads them, and calls fn(position, type, payload)
// for each: position of its header in the block, type 0 to 4, payload a view
// into block. A type above 4 or a length that runs past the block ends the
// walk, as do fewer than 7 bytes left; so does fn returning false, where it
// returns a bool. Returns where the walk stopped: just past the last record
// handed to fn, and otherwise the start of the bytes the framing skips.
template <class Fn>
std::size_t walk_physical_records(std::string_view block, std::size_t pos, Fn&& fn) {
  while (pos <= block.size() && block.size() - pos >= kLogHeaderSize) {
    const LogHeader header = decode_log_header(block.substr(pos));
    const std::uint8_t type = header.type;
    if (type > static_cast<std::uint8_t>(LogRecordType::Last)) break;
    const std::size_t length = header.length;
    if (length > block.size() - pos - kLogHeaderSize) break;
    const std::size_t at = pos;
    pos += kLogHeaderSize + length;
    const std::string_view payload = block.substr(at + kLogHeaderSize, length);
    if constexpr (std::is_same_v<std::invoke_result_t<Fn&, std::size_t, LogRecordType, std::string_view>,
                                 bool>) {
      if (!fn(at, static_cast<LogRecordType>(type), payload)) return pos;
    } else {
      fn(at, static_cast<LogRecordType>(type), payload);
    }
  }
  return pos;
}

template <class Fn>
std::size_t walk_physical_records(std::string_view block, Fn&& fn) {
  return walk_physical_records(block, 0, std::forward<Fn>(fn));
}

// How long the logical record is whose first fragment ends at `pos`, as the
// headers of the fragments that follow it say: a capacity hint for joining
// it, so that a record of a gigabyte is not copied over and over (holding two
// copies at once) while its buffer grows. read_header(at) gives the up to 7
// bytes of the header at `at`. Never more than the file's size.
template <class ReadHeader>
[[nodiscard]] std::size_t fragmented_length_hint(std::uint64_t size, std::uint64_t pos,
                                                 std::size_t first_length, ReadHeader&& read_header) {
  std::uint64_t total = first_length;
  while (pos < size) {
    const std::uint64_t in_block = kLogBlockSize - pos % kLogBlockSize;
    if (in_block < kLogHeaderSize) {  // trailer padding: the next fragment opens the next block
      pos += in_block;
      continue;
    }
    const std::string_view bytes = read_header(pos);
    if (bytes.size() < kLogHeaderSize) break;
    const LogHeader header = decode_log_header(bytes);
    const std::uint8_t type = header.type;
    const std::size_t length = header.length;
    if (length > in_block - kLogHeaderSize || length > size - pos - kLogHeaderSize) break;
    if (type != static_cast<std::uint8_t>(LogRecordType::Middle) &&
        type != static_cast<std::uint8_t>(LogRecordType::Last)) {
      break;
    }
    total += length;
    if (type == static_cast<std::uint8_t>(LogRecordType::Last)) break;
    pos += kLogHeaderSize + length;
  }
  return static_cast<std::size_t>(total < size ? total : size);
}

// Walks the framing of a file of `size` bytes from byte `start`, whose 32 KiB
// blocks come from read_block(block_start) -> std::optional<std::string_view>
// (at most kLogBlockSize bytes; shorter only for the file's last block or
// where bytes were lost), and calls fn(offset, payload) for each logical
// record as it completes; fn returns whether to go on. nullopt from read_block
// ends the walk there. The payload view is valid only during the call: it
// points into the block for a full record and into `joined` (a caller's
// reusable buffer) for a fragmented one. An unfinished record is discarded
// when a new first or full record begins, and dropped at the end of the data.
// Never fails. length_hint(pos, first_length) sizes `joined` for a record
// whose first fragment ends at pos (see fragmented_length_hint). With
// `fragments`, each record handed to fn has there, during the call, the
// physical records it was joined from, each with whether its checksum holds;
// without, no checksum is computed.
//
// Returns where the walk stopped: just past the physical record that completed
// the last logical record handed to fn when fn asked to stop, otherwise
// `size`. No fragment is pending at a returned point below `size`, so a walk
// started there continues exactly where this one left off; `start` must be
// such a point (0, or a returned value).
template <class ReadBlock, class LengthHint, class Fn>
std::uint64_t walk_log_blocks(std::uint64_t size, std::uint64_t start, ReadBlock&& read_block,
                              LengthHint&& length_hint, std::string& joined, Fn&& fn,
                              std::vector<LogFragment>* fragments = nullptr) {
  bool pending = false;
  std::uint64_t pending_offset = 0;
  std::uint64_t pending_start = 0;
  // fn(offset, payload), or fn(offset, payload, start) for a caller that also
  // wants where the record's first physical record begins (its header).
  const auto deliver = [&fn](std::uint64_t offset, std::string_view payload, std::uint64_t record_start) {
    if constexpr (std::is_invocable_v<Fn&, std::uint64_t, std::string_view, std::uint64_t>) {
      return fn(offset, payload, record_start);
    } else {
      return fn(offset, payload);
    }
  };
  if (start >= size) return size;
  auto first = static_cast<std::size_t>(start % kLogBlockSize);
  for (std::uint64_t block_start = start - first; block_start < size;
       block_start += kLogBlockSize, first = 0) {
    const std::optional<std::string_view> next = read_block(block_start);
    if (!next) return size;
    bool stopped = false;
    const std::size_t end_pos = walk_physical_records(
        *next, first, [&](std::size_t at, LogRecordType type, std::string_view payload) {
          const std::uint64_t end = block_start + at + kLogHeaderSize + payload.size();
          if (fragments != nullptr && type != LogRecordType::Zero) {
            // A full or first record begins a record afresh; a middle or last
            // one belongs to the pending record, if there is one.
            if (type == LogRecordType::Full || type == LogRecordType::First) fragments->clear();
            if (type == LogRecordType::Full || type == LogRecordType::First || pending) {
              fragments->push_back(LogFragment{block_start + at, payload.size(),
                                               log_checksum_matches(*next, at, decode_log_header(next->substr(at)))});
            }
          }
          switch (type) {
            case LogRecordType::Zero:
              break;
            case LogRecordType::Full:
              pending = false;
              stopped = !deliver(end, payload, block_start + at);
              break;
            case LogRecordType::First:
              joined.clear();
              joined.reserve(length_hint(end, payload.size()));
              joined.assign(payload);
              pending_offset = end;
              pending_start = block_start + at;
              pending = true;
              break;
            case LogRecordType::Middle:
              if (pending) joined.append(payload);
              break;
            case LogRecordType::Last:
              if (pending) {
                joined.append(payload);
                pending = false;
                stopped = !deliver(pending_offset, std::string_view(joined), pending_start);
              }
              break;
          }
          return !stopped;
        });
    if (stopped) return block_start + end_pos;
  }
  return size;
}

// Where the bytes of a logical record's payload lie in the file: the payload
// is its physical records' payloads back to back, each behind its 7-byte
// header. Positions are asked for in ascending order, so a record of many
// fragments is walked once however many positions are asked of it.
class PayloadPlaces {
 public:
  explicit PayloadPlaces(std::span<const LogFragment> fragments) noexcept : fragments_(fragments) {}

  // The index of the fragment holding payload byte `at`, or the number of
  // fragments when `at` lies past them. REQUIRES: `at` not below the last asked.
  [[nodiscard]] std::size_t fragment_of(std::uint64_t at) noexcept {
    while (index_ < fragments_.size() && at - before_ >= fragments_[index_].length) {
      before_ += fragments_[index_].length;
      ++index_;
    }
    return index_;
  }
  // The file position of payload byte `at`; nullopt past the fragments. The
  // same requirement.
  [[nodiscard]] std::optional<std::uint64_t> file_position(std::uint64_t at) noexcept {
    if (fragment_of(at) == fragments_.size()) return std::nullopt;
    return fragments_[index_].offset + kLogHeaderSize + (at - before_);
  }

 private:
  std::span<const LogFragment> fragments_;
  std::size_t index_ = 0;
  std::uint64_t before_ = 0;  // payload bytes in the fragments before index_
};

// The whole walk over bytes in memory, every logical record handed to
// fn(offset, payload).
template <class Fn>
void walk_logical_records(std::string_view data, std::string& joined, Fn&& fn) {
  walk_log_blocks(
      data.size(), 0,
      [&](std::uint64_t start) -> std::optional<std::string_view> {
        return data.substr(static_cast<std::size_t>(start), kLogBlockSize);
      },
      [&](std::uint64_t pos, std::size_t first_length) {
        return fragmented_length_hint(data.size(), pos, first_length, [&](std::uint64_t at) {
          return data.substr(static_cast<std::size_t>(at), kLogHeaderSize);
        });
      },
      joined, [&](std::uint64_t offset, std::string_view payload) {
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
