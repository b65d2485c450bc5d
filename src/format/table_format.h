#pragma once
// The sorted table file format (.ldb / .sst) at the level of whole blocks.
//
// Layout: data blocks, a metaindex block, an index block, then a 48-byte
// footer: metaindex handle, index handle (varint64 pairs), filler up to byte
// 40, and the magic number 0xdb4775248b80fb57 (little-endian) in bytes 40-47.
//
// A block handle is varint64 offset then varint64 size; `size` counts the
// stored bytes, not the 5-byte trailer that follows them: the compression type
// (1 byte, 0 raw) and a checksum (4 bytes) that the readers never act on: a
// block whose checksum fails is read all the same, and only the structure
// walk and the records' positions report it (block_checksum_matches).
//
// What is inside a block once it is stored raw again is block.h's subject.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "format/compression.h"
#include "base/varint.h"

namespace vostrel {

inline constexpr std::size_t kFooterSize = 48;
inline constexpr std::size_t kBlockTrailerSize = 5;
inline constexpr std::uint64_t kTableMagic = 0xdb4775248b80fb57ull;

enum class TableErrorKind { Io, InvalidMagic, InvalidBlock, Snappy, FileTooSmall };

struct TableError {
  TableErrorKind kind;
  // Io: the system text; InvalidMagic: the path; InvalidBlock: its message;
  // Snappy: the DecompressError's text; FileTooSmall: empty.
  std::string detail;
  [[nodiscard]] std::string message() const;
};

// Where a block lies in a table file.
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

struct Footer {
  BlockHandle metaindex;
  BlockHandle index;
};

// Decodes the footer at the end of a file's bytes. REQUIRES: at least
// kFooterSize bytes. `path` names the file in the InvalidMagic error.
[[nodiscard]] std::expected<Footer, TableError> decode_footer(std::string_view file,
                                                            const std::string& path);

// One block as it lies in the file: its stored bytes and compression type.
struct StoredBlock {
  std::string_view contents;  // the stored bytes, inside the file's bytes
  std::uint8_t type;          // the trailer's compression type byte
  std::uint32_t masked_crc = 0;  // the trailer's checksum, as stored
  [[nodiscard]] bool compressed() const noexcept { return type != 0; }
};

// The most stored bytes one block may have: a handle alone never makes the
// reader copy more (a hostile footer can name an index block as large as the
// file, and a sparse file can be 50 GB with 4 KB on disk). The same ceiling as
// for decompressed contents, for the same reason (compression.h).
inline constexpr std::uint64_t kMaxStoredBlock = kMaxBlockContents;

// Checks a handle against a file of file_size bytes: offset + size + trailer
// must lie inside it, and size must not pass kMaxStoredBlock. `path` names the
// file in the error.
[[nodiscard]] std::expected<void, TableError> check_block_range(std::uint64_t file_size,
                                                              const BlockHandle& handle,
                                                              const std::string& path);

// Whether a block's trailer checksum holds: the masked CRC32C stored in the
// trailer's last 4 bytes, over the stored bytes followed by the type byte.
[[nodiscard]] bool block_checksum_matches(std::string_view stored, std::uint8_t type,
                                          std::uint32_t masked_crc) noexcept;

// Whether the first 8 bytes are the table magic (a table's last 8 bytes).
[[nodiscard]] bool is_table_magic(std::string_view bytes) noexcept;

// The block's contents as block.h reads them: the stored bytes themselves when
// the block is raw, otherwise the decompressed bytes in buffer. The view is
// valid as long as the file's bytes and until the next use of buffer. `used`,
// when given, receives the codec that gave the contents.
[[nodiscard]] std::expected<std::string_view, TableError> block_contents(const StoredBlock& stored,
                                                                      DecompressBuffer& buffer,
                                                                      Codec* used = nullptr);

}  // namespace vostrel
