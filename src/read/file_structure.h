#pragma once
// The structure of one file, described by its content for people who work
// byte by byte: where each part of it lies, whether its checksum holds, and
// which stretches no part accounts for. That is where damage starts.
//
// A file whose last 8 bytes are the table magic is a table; so is one whose
// footer lies a little before its end (a file recovered with the slack of its
// last cluster), when the footer's index block lies before it and its
// checksum holds: the bytes after that footer are trailing bytes. Any other
// file is read as log framing: a manifest when its name is MANIFEST-*, else a
// write-ahead log.
//
// Tables: the footer, the metaindex block and its entries (the filter policy's
// block, say), each meta block they name, the index block, then each index
// entry followed by the data block it names. Every block is located, checked
// against its trailer's CRC and read as its codec says; what cannot be read
// says why. A block that overlaps one already read is not read again (no
// table has overlapping blocks, and a crafted index could otherwise name the
// same megabytes a million times). The stretches no block, trailer or footer
// covers are gaps.
//
// Logs and manifests: each physical record, and each logical record once the
// physical record that completes it has been described: a write batch in a
// log, a version edit in a manifest. All-zero stretches the framing walks
// through (zero-type headers of length 0, and trailers between them) are one
// `zeros` item however many blocks they span; block trailers are padding;
// bytes the framing skips in a block are skipped, and when no record follows
// them before the end of the file, trailing.
//
// The walk streams: items go to a callback as they are found (the first says
// what the file is read as), so memory stays
// bounded by one block and, for tables, by a list of the ranges the blocks
// cover (at most one per index entry, so bounded by the file's size).

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/stop_token.h"
#include "format/compression.h"
#include "format/table_format.h"
#include "io/mapped_file.h"
#include "read/version_set.h"

namespace vostrel {

enum class StructureKind : std::uint8_t { Table, Log, Manifest };

// What the file is read as, handed on before any other item.
struct FileItem {
  StructureKind kind = StructureKind::Log;
  std::uint64_t size = 0;
};

// The footer: where it lies and the two handles it holds (handles_ok false
// when they do not decode).
struct FooterItem {
  std::uint64_t offset = 0;
  BlockHandle metaindex;
  BlockHandle index;
  bool handles_ok = false;
};

// One entry of the metaindex (name -> meta block) or of the index block
// (separator key -> data block). `handle` is nullopt when the entry's value
// does not decode as a handle.
enum class EntryRole : std::uint8_t { Metaindex, Index };
struct HandleEntryItem {
  EntryRole role = EntryRole::Index;
  std::string_view key;  // valid during the callback only
  std::optional<BlockHandle> handle;
};

enum class BlockRole : std::uint8_t { Metaindex, Meta, Index, Data };
enum class CrcCheck : std::uint8_t { Ok, Bad, Absent };

// One block as it lies in the file. entries/restarts/first/last are for
// blocks in the block format (not a meta block such as the filter); `error`
// is empty when the block could be read, else why it could not.
struct BlockItem {
  BlockRole role = BlockRole::Data;
  BlockHandle handle;
  std::uint8_t type = 0;  // the trailer's compression type byte (when in the file)
  Codec codec = Codec::None;
  CrcCheck crc = CrcCheck::Absent;
  std::uint64_t entries = 0;
  std::uint32_t restarts = 0;
  std::string_view first_key;  // valid during the callback only
  std::string_view last_key;
  std::string error;
};

// A stretch of the file that no part accounts for.
enum class StretchKind : std::uint8_t { Gap, Trailing, Zeros, Padding, Skipped };
struct StretchItem {
  StretchKind kind = StretchKind::Gap;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool all_zero = false;
};

struct PhysicalRecordItem {
  std::uint64_t offset = 0;  // of its header
  std::uint8_t type = 0;     // 0-4
  std::uint64_t length = 0;  // of its payload
  bool crc_ok = false;
};

// A logical record of a log: its write batch. sequence is nullopt when the
// record is shorter than a batch header; entries counts what decodes.
struct BatchItem {
  std::uint64_t offset = 0;  // of the header of its first physical record
  std::uint64_t length = 0;  // of the logical record
  std::optional<std::uint64_t> sequence;
  std::uint32_t count = 0;
  std::uint64_t entries = 0;
};

// A logical record of a manifest (offset: of its first physical record).
using EditItem = PositionedEdit;

using StructureItem = std::variant<FileItem, FooterItem, HandleEntryItem, BlockItem, StretchItem,
                                   PhysicalRecordItem, BatchItem, EditItem>;
using StructureCallback = std::function<void(const StructureItem&)>;

// What the walk found, counted: any of these but `size` and `kind` means damage.
struct StructureSummary {
  StructureKind kind = StructureKind::Log;
  std::uint64_t size = 0;
  std::uint64_t bad_crcs = 0;           // blocks or physical records
  std::uint64_t unreadable_blocks = 0;  // out of range, cut short, undecodable, bad handle
  std::uint64_t gaps = 0;               // tables: uncovered stretches
  std::uint64_t zero_stretches = 0;     // logs: all-zero stretches
  std::uint64_t skipped_stretches = 0;  // logs: bytes the framing skips
  std::uint64_t trailing_bytes = 0;     // after the footer, or after the last record
  [[nodiscard]] bool damaged() const noexcept {
    return bad_crcs + unreadable_blocks + gaps + zero_stretches + skipped_stretches + trailing_bytes != 0;
  }
};

// Walks the structure of the file's bytes; `name` (a path or file name)
// tells a manifest from a log. stop, polled per block, ends the walk early
// with what was found so far.
[[nodiscard]] StructureSummary walk_file_structure(const MappedFile& file, std::string_view name,
                                                   const StructureCallback& fn, StopToken& stop);

// The same for the file at path; the OsError when it cannot be opened (a
// missing file, a directory: ENODEV).
[[nodiscard]] std::expected<StructureSummary, OsError> walk_file_structure(const std::string& path,
                                                                         const StructureCallback& fn,
                                                                         StopToken& stop);

}  // namespace vostrel
