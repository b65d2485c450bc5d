#pragma once
// Write-ahead log files: the physical framing (32 KiB blocks of records with a
// 7-byte header) and the write batches carried by its logical records.
//
// Physical record header: checksum (4 bytes, never read), payload length
// (2 bytes, little-endian), record type (1 byte). Types: 0 zero (skipped),
// 1 full, 2 first, 3 middle, 4 last; any other type ends the walk of its block.
// A physical record never crosses a block boundary; fewer than 7 bytes left at
// the end of a block are padding.
//
// Write batch: sequence (8 bytes LE), count (4 bytes LE), then entries of
// tag (1 = put, 0 = deletion, other = unrecognised, read like a put),
// varint32 key length, key, and, unless the tag is 0, varint32 value length
// and value.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "mapped_file.h"
#include "types.h"
#include "varint.h"

namespace vostrel {

inline constexpr std::size_t kLogBlockSize = 32768;
inline constexpr std::size_t kLogHeaderSize = 7;
inline constexpr std::size_t kBatchHeaderSize = 12;

enum class LogRecordType : std::uint8_t { Zero = 0, Full = 1, First = 2, Middle = 3, Last = 4 };

// A complete logical record. `offset` is the file position just after the
// physical record that carries its first fragment (for a full record, the
// record itself).
struct LogicalRecord {
  std::uint64_t offset = 0;
  std::string payload;
  friend bool operator==(const LogicalRecord&, const LogicalRecord&) = default;
};

// Walks the framing of `data` (the file's first `length` bytes) and calls
// fn(offset, payload) for each logical record as it completes. The payload view
// is valid only during the call: it points into `data` for a full record and
// into a joining buffer for a fragmented one. Fragments join across blocks; an
// unfinished record is discarded when a new first or full record begins, and
// dropped at the end of the data. Never fails.
template <class Fn>
void walk_logical_records(std::string_view data, Fn&& fn) {
  std::string joined;
  bool pending = false;
  std::uint64_t pending_offset = 0;
  for (std::size_t block_start = 0; block_start < data.size(); block_start += kLogBlockSize) {
    const std::string_view block = data.substr(block_start, kLogBlockSize);
    std::size_t pos = 0;
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
    }
  }
}

// The same walk, collecting owned copies. An empty view (no mapping) yields none.
[[nodiscard]] std::vector<LogicalRecord> read_logical_records(std::string_view data);

// Decodes one logical record as a write batch and hands each entry to sink.
// Damage ends the batch quietly; the entries before it stay. `offset` is the
// logical record's offset; an entry's record offset is offset + 12 + the
// position of its tag byte in the batch body.
template <RecordSink Sink>
void decode_write_batch(std::uint64_t offset, std::string_view payload, const SharedPath* path,
                        Sink& sink) {
  if (payload.size() < kBatchHeaderSize) return;
  const std::uint32_t count = load_le32(payload.data() + 8);
  if (count == 0) return;
  const std::uint64_t sequence = load_le64(payload.data());
  const std::string_view body = payload.substr(kBatchHeaderSize);
  const std::size_t n = body.size();
  std::size_t t = 0;
  for (std::uint32_t j = 0; j < count; ++j) {
    if (t >= n || n - t < 2) return;  // no entry, or a tag with nothing after it
    const auto tag = static_cast<std::uint8_t>(body[t]);
    const auto key_length = decode_varint(body, t + 1, /*narrow=*/true);
    if (!key_length) return;
    const std::size_t key_start = t + 1 + key_length->length;
    const std::uint64_t k = key_length->value & 0xFFFFFFFFu;
    if (k > n - key_start) return;
    const std::size_t key_end = key_start + static_cast<std::size_t>(k);
    std::string_view value;
    std::size_t entry_end = key_end;
    if (tag != 0) {
      if (key_end == n) return;
      const auto value_length = decode_varint(body, key_end, /*narrow=*/true);
      if (!value_length) return;
      const std::size_t value_start = key_end + value_length->length;
      const std::uint64_t v = value_length->value & 0xFFFFFFFFu;
      if (v > n - value_start) return;
      value = body.substr(value_start, static_cast<std::size_t>(v));
      entry_end = value_start + static_cast<std::size_t>(v);
    }
    const KeyState state = tag == 1 ? KeyState::Live : tag == 0 ? KeyState::Deleted : KeyState::Unknown;
    sink(RecordView{
        .key = body.substr(key_start, static_cast<std::size_t>(k)),
        .value = value,
        .seq = sequence + j,  // wraps at 2^64 by design
        .state = state,
        .file_type = FileType::Log,
        .origin_file = path,
        .offset = offset + kBatchHeaderSize + t,
        .was_compressed = false,
    });
    t = entry_end;
  }
}

struct LogError {
  OsError error;
  // "IO error: {system text}"
  [[nodiscard]] std::string message() const;
};

// An opened write-ahead log file. Immutable after open; movable, not copyable.
class LogFile {
 public:
  [[nodiscard]] static std::expected<LogFile, LogError> open(std::string path);
  // Wraps bytes already in memory under a path, as open would have mapped them.
  [[nodiscard]] static LogFile from_mapped(std::string path, MappedFile file);

  // Every record of every batch, in file order. Never fails.
  [[nodiscard]] std::vector<Record> records() const;

  template <RecordSink Sink>
  void visit_records(Sink& sink) const {
    walk_logical_records(file_.bytes(), [&](std::uint64_t offset, std::string_view payload) {
      decode_write_batch(offset, payload, &path_, sink);
    });
  }

  [[nodiscard]] const std::string& path() const noexcept { return *path_; }
  [[nodiscard]] const SharedPath& shared_path() const noexcept { return path_; }
  [[nodiscard]] std::uint64_t number() const noexcept { return number_; }
  [[nodiscard]] std::size_t length() const noexcept { return file_.size(); }
  [[nodiscard]] bool has_mapping() const noexcept { return file_.has_mapping(); }
  [[nodiscard]] std::string_view bytes() const noexcept { return file_.bytes(); }

 private:
  LogFile(SharedPath path, MappedFile file, std::uint64_t number) noexcept
      : path_(std::move(path)), file_(std::move(file)), number_(number) {}

  SharedPath path_;
  MappedFile file_;
  std::uint64_t number_;
};

}  // namespace vostrel
