#pragma once
// The record model shared by every reader: one key/value record with its
// provenance, and the two small enumerations that classify it. Also the block
// handle, the (offset, size) pair that locates a block in a table file.

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "varint.h"

namespace vostrel {

// These integer values are what Python's int() gives; they must not change.
enum class KeyState : std::uint8_t { Deleted = 0, Live = 1, Unknown = 2 };
enum class FileType : std::uint8_t { Ldb = 1, Log = 2 };

[[nodiscard]] std::string_view to_string(KeyState state) noexcept;
[[nodiscard]] std::string_view to_string(FileType type) noexcept;

// The raw path bytes of a data file, exactly as its reader received them. All
// records of one file share one immutable copy instead of each holding its own.
using SharedPath = std::shared_ptr<const std::string>;

// A table record's key is the internal key: user key + 8-byte trailer (sequence
// number << 8 | value type). Log keys are user keys already and are never cut;
// nor is a table key too short to carry a trailer.
[[nodiscard]] constexpr std::string_view user_key_of(std::string_view key,
                                                     FileType type) noexcept {
  if (type == FileType::Ldb && key.size() >= 8) return key.substr(0, key.size() - 8);
  return key;
}

// One record, owning its bytes: it outlives the reader and mapping it came from.
struct Record {
  std::string key;
  std::string value;
  std::uint64_t seq = 0;
  KeyState state = KeyState::Unknown;
  FileType file_type = FileType::Ldb;
  SharedPath origin_file;
  std::uint64_t offset = 0;
  bool was_compressed = false;

  [[nodiscard]] std::string_view user_key() const noexcept { return user_key_of(key, file_type); }
  [[nodiscard]] const std::string& origin_path() const noexcept;
  friend bool operator==(const Record& a, const Record& b) noexcept;
};

// A record as the decoders produce it. The views point into a file mapping or
// a decoder's scratch buffer and are valid only for the duration of the sink
// call that receives them; a sink that keeps a record must copy it.
struct RecordView {
  std::string_view key;
  std::string_view value;
  std::uint64_t seq;
  KeyState state;
  FileType file_type;
  const SharedPath* origin_file;  // the producing file's path; stable for the reader's life
  std::uint64_t offset;
  bool was_compressed;
};

// Decoders hand each record to a sink in order. The core stays free of any
// caller's object model: the Python layer's sink builds Python objects straight
// from the views, so every key and value is copied exactly once.
template <class S>
concept RecordSink = requires(S& sink, const RecordView& view) { sink(view); };

// The sink behind the core's list-returning functions: copies into owned Records.
class VectorSink {
 public:
  void operator()(const RecordView& view);
  [[nodiscard]] std::vector<Record> take() && { return std::move(records_); }

 private:
  std::vector<Record> records_;
};

// Where a table block lies: `size` counts the stored bytes, not the 5-byte
// trailer (type byte + checksum) that follows them. On disk: varint64 offset,
// then varint64 size.
struct BlockHandle {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;

  // Decodes a handle at the start of bytes; whatever follows it is ignored.
  [[nodiscard]] static std::optional<BlockHandle> from_bytes(std::string_view bytes) noexcept;
  // Decodes at the cursor and advances it. If the size is absent the cursor is
  // left just past the offset.
  [[nodiscard]] static std::optional<BlockHandle> from_cursor(SliceCursor& cursor) noexcept;

  friend bool operator==(const BlockHandle&, const BlockHandle&) = default;
};

}  // namespace vostrel
