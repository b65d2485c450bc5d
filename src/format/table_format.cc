#include "format/table_format.h"

#include "base/crc32c.h"

namespace vostrel {

std::string TableError::message() const {
  switch (kind) {
    case TableErrorKind::Io: return "IO error: " + detail;
    case TableErrorKind::InvalidMagic: return "Invalid magic number in " + detail;
    case TableErrorKind::InvalidBlock: return "Invalid block: " + detail;
    case TableErrorKind::Snappy: return "Snappy decompression error: " + detail;
    case TableErrorKind::FileTooSmall: return "File too small to contain a valid footer";
  }
  return detail;
}

std::optional<BlockHandle> BlockHandle::from_bytes(std::string_view bytes) noexcept {
  SliceCursor cursor(bytes);
  return from_cursor(cursor);
}

std::optional<BlockHandle> BlockHandle::from_cursor(SliceCursor& cursor) noexcept {
  const auto offset = cursor.read_varint(/*narrow=*/false);
  if (!offset) return std::nullopt;
  const auto size = cursor.read_varint(/*narrow=*/false);
  if (!size) return std::nullopt;
  return BlockHandle{*offset, *size};
}

std::expected<Footer, TableError> decode_footer(std::string_view file, const std::string& path) {
  SliceCursor footer(file.substr(file.size() - kFooterSize));
  const auto metaindex = BlockHandle::from_cursor(footer);
  if (!metaindex) {
    return std::unexpected(TableError{TableErrorKind::InvalidBlock, "Failed to read meta index handle"});
  }
  const auto index = BlockHandle::from_cursor(footer);
  if (!index) return std::unexpected(TableError{TableErrorKind::InvalidBlock, "Failed to read index handle"});
  if (!is_table_magic(file.substr(file.size() - 8))) {
    return std::unexpected(TableError{TableErrorKind::InvalidMagic, path});
  }
  return Footer{*metaindex, *index};
}

std::expected<void, TableError> check_block_range(std::uint64_t length, const BlockHandle& handle,
                                                const std::string& path) {
  // offset + size + 5 <= length, written as subtractions so nothing can wrap.
  if (length < kBlockTrailerSize || handle.offset > length - kBlockTrailerSize ||
      handle.size > length - kBlockTrailerSize - handle.offset) {
    return std::unexpected(TableError{TableErrorKind::InvalidBlock,
                                    "Block extends past end of file at offset " +
                                        std::to_string(handle.offset) + " in " + path});
  }
  if (handle.size > kMaxStoredBlock) {
    return std::unexpected(TableError{TableErrorKind::InvalidBlock,
                                    "Block of " + std::to_string(handle.size) + " bytes at offset " +
                                        std::to_string(handle.offset) + " exceeds the block limit in " +
                                        path});
  }
  return {};
}

bool block_checksum_matches(std::string_view stored, std::uint8_t type, std::uint32_t masked_crc) noexcept {
  const std::uint32_t crc = crc32c_step(crc32c_run(kCrc32cInit, stored), type) ^ kCrc32cInit;
  return crc32c_mask(crc) == masked_crc;
}

bool is_table_magic(std::string_view bytes) noexcept {
  return bytes.size() >= 8 && load_le64(bytes.data()) == kTableMagic;
}

std::expected<std::string_view, TableError> block_contents(const StoredBlock& stored,
                                                         DecompressBuffer& buffer, Codec* used) {
  if (!stored.compressed()) {
    if (used != nullptr) *used = Codec::None;
    return stored.contents;
  }
  auto output = decompress_block(stored.type, stored.contents, buffer, used);
  if (!output) return std::unexpected(TableError{TableErrorKind::Snappy, output.error().message()});
  return *output;
}

}  // namespace vostrel
