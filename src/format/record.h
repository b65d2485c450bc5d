#pragma once
// The record model shared by every reader: one key/value record with its
// provenance, the two small enumerations that classify it, and the sink through
// which decoders hand records to their caller.

#include <bitset>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/compression.h"

namespace vostrel {

// These integer values are what Python's int() gives; they must not change.
enum class KeyState : std::uint8_t { Deleted = 0, Live = 1, Unknown = 2 };
// The kind of a data file: a sorted table (.ldb, .sst) or a write-ahead log.
enum class FileType : std::uint8_t { Ldb = 1, Log = 2 };
// How a record was found: by the normal read of its file's structure, or by
// carving (CRC-verified bytes that the structure no longer reaches).
enum class Recovery : std::uint8_t { None = 0, CarvedBlock = 1, CarvedLog = 2 };

[[nodiscard]] std::string_view to_string(KeyState state) noexcept;
// The state as exported records and decoded entries name it.
[[nodiscard]] constexpr std::string_view state_name(KeyState state) noexcept {
  switch (state) {
    case KeyState::Deleted: return "deleted";
    case KeyState::Live: return "live";
    case KeyState::Unknown: break;
  }
  return "unknown";
}
[[nodiscard]] std::string_view to_string(FileType type) noexcept;
// "carved-block", "carved-log"; "" for Recovery::None.
[[nodiscard]] std::string_view to_string(Recovery recovered) noexcept;

// The raw path bytes of a data file, exactly as its reader received them. All
// records of one file share one immutable copy instead of each holding its own.
using SharedPath = std::shared_ptr<const std::string>;

// The states a filter lets through; without a list, every state.
class StateFilter {
 public:
  explicit StateFilter(const std::optional<std::vector<KeyState>>& states = std::nullopt);
  [[nodiscard]] bool admits(KeyState state) const noexcept {
    return admitted_.test(static_cast<std::uint8_t>(state));
  }

 private:
  std::bitset<256> admitted_;  // by the state's byte, whatever a decoder put there
};

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
  Recovery recovered = Recovery::None;

  // The key as the application wrote it (see internal_key.h).
  [[nodiscard]] std::string_view user_key() const noexcept;
  [[nodiscard]] const std::string& origin_path() const noexcept;
  friend bool operator==(const Record& a, const Record& b) noexcept;
};

// One physical record of a log as it lies in the file: where its 7-byte
// header begins, the length of the payload that follows the header, and
// whether the header's checksum holds over the type byte and that payload.
struct LogFragment {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool checksum_ok = false;
  friend bool operator==(const LogFragment&, const LogFragment&) = default;
};

// Where a record's bytes lie in its file, for an examiner who checks them
// there, and whether the checksums that cover them hold. Decoders fill it
// only when the walk asks (DecodeScratch::positions); `offset` keeps its own
// rule whatever this says.
struct RecordPosition {
  // Table records: the block's stored bytes (its handle), the codec that
  // gave its contents, and the entry's first varint inside those contents.
  std::uint64_t block_offset = 0;
  std::uint64_t block_size = 0;
  Codec codec = Codec::None;
  std::uint64_t entry_offset = 0;
  // Log records: the physical records that carry the entry's bytes, from its
  // tag byte to the end of its value, in file order.
  std::span<const LogFragment> fragments = {};
  // The file byte where the entry begins (a table entry's first varint, a log
  // entry's tag byte); none inside a compressed block.
  std::optional<std::uint64_t> file_position = std::nullopt;
  // Tables: the block trailer's checksum; logs: every physical record of the
  // entry's write batch.
  bool checksum_ok = false;
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
  Recovery recovered = Recovery::None;
  // Where its bytes lie, when the walk was asked for positions and they are
  // known; valid, like the views, only during the sink call.
  const RecordPosition* position = nullptr;
};

// Decoders hand each record to a sink in order. The core stays free of any
// caller's object model: the Python layer's sink builds Python objects straight
// from the views, so every key and value is copied exactly once.
template <class S>
concept RecordSink = requires(S& sink, const RecordView& view) { sink(view); };

// A sink that copies into owned Records, for callers that compare or keep
// whole lists (tests, tools); the Python layer has its own (bindings).
class VectorSink {
 public:
  void operator()(const RecordView& view);
  [[nodiscard]] std::vector<Record> take() && { return std::move(records_); }

 private:
  std::vector<Record> records_;
};

}  // namespace vostrel
