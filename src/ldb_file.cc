#include "ldb_file.h"

#include "file_number.h"

namespace vostrel {

std::string LdbError::message() const {
  switch (kind) {
    case LdbErrorKind::Io: return "IO error: " + detail;
    case LdbErrorKind::InvalidMagic: return "Invalid magic number in " + detail;
    case LdbErrorKind::InvalidBlock: return "Invalid block: " + detail;
    case LdbErrorKind::Snappy: return "Snappy decompression error: " + detail;
    case LdbErrorKind::FileTooSmall: return "File too small to contain a valid footer";
  }
  return detail;
}

std::optional<std::size_t> restart_array_offset(std::string_view contents) noexcept {
  if (contents.size() < 4) return std::nullopt;
  const std::uint64_t num_restarts = load_le32(contents.data() + contents.size() - 4);
  const std::size_t room = contents.size() - 4;
  if (num_restarts > room / 4) return std::nullopt;
  return room - 4 * static_cast<std::size_t>(num_restarts);
}

std::vector<RawBlockEntry> Block::entries() const {
  std::vector<RawBlockEntry> result;
  std::string key;
  walk_block_entries(data, key, [&](std::string_view k, std::string_view v, std::size_t at) {
    result.push_back(RawBlockEntry{std::string(k), std::string(v), at});
  });
  return result;
}

std::expected<LdbFile, LdbError> LdbFile::open(std::string path) {
  auto file = MappedFile::open(path);
  if (!file) return std::unexpected(LdbError{LdbErrorKind::Io, file.error().message()});
  return from_mapped(std::move(path), std::move(*file));
}

std::expected<LdbFile, LdbError> LdbFile::from_mapped(std::string path, MappedFile file) {
  const std::uint64_t number = file_number_from_path(path);
  // Too short for a footer: not an error, just a table without blocks.
  if (file.size() < kFooterSize) file = MappedFile();

  LdbFile table(std::make_shared<const std::string>(std::move(path)), std::move(file), number);
  if (!table.file_.has_mapping()) return table;

  const std::string_view bytes = table.file_.bytes();
  SliceCursor footer(bytes.substr(bytes.size() - kFooterSize));
  if (!BlockHandle::from_cursor(footer)) {
    return std::unexpected(LdbError{LdbErrorKind::InvalidBlock, "Failed to read meta index handle"});
  }
  const auto index_handle = BlockHandle::from_cursor(footer);
  if (!index_handle) {
    return std::unexpected(LdbError{LdbErrorKind::InvalidBlock, "Failed to read index handle"});
  }
  if (load_le64(bytes.data() + bytes.size() - 8) != kTableMagic) {
    return std::unexpected(LdbError{LdbErrorKind::InvalidMagic, table.path()});
  }

  auto index_block = table.read_block(*index_handle);
  if (!index_block) return std::unexpected(std::move(index_block.error()));
  std::string key;
  walk_block_entries(index_block->data, key,
                     [&](std::string_view k, std::string_view value, std::size_t) {
                       if (const auto handle = BlockHandle::from_bytes(value)) {
                         table.index_.emplace_back(std::string(k), *handle);
                       }
                     });
  return table;
}

std::expected<LdbFile::StoredBlock, LdbError> LdbFile::stored_block(
    const BlockHandle& handle) const {
  if (!has_mapping()) return std::unexpected(LdbError{LdbErrorKind::FileTooSmall, {}});
  const std::uint64_t length = file_.size();
  // offset + size + 5 <= length, written as subtractions so nothing can wrap.
  if (length < kBlockTrailerSize || handle.offset > length - kBlockTrailerSize ||
      handle.size > length - kBlockTrailerSize - handle.offset) {
    return std::unexpected(LdbError{LdbErrorKind::InvalidBlock,
                                    "Block extends past end of file at offset " +
                                        std::to_string(handle.offset) + " in " + path()});
  }
  const std::string_view bytes = file_.bytes();
  const auto start = static_cast<std::size_t>(handle.offset);
  const auto size = static_cast<std::size_t>(handle.size);
  return StoredBlock{bytes.substr(start, size), bytes[start + size] != 0};
}

std::expected<Block, LdbError> LdbFile::read_block(const BlockHandle& handle) const {
  const auto stored = stored_block(handle);
  if (!stored) return std::unexpected(stored.error());
  Block block;
  block.offset = handle.offset;
  block.was_compressed = stored->compressed;
  if (stored->compressed) {
    auto output = snappy::decompress(stored->contents);
    if (!output) return std::unexpected(LdbError{LdbErrorKind::Snappy, output.error().message()});
    block.data = std::move(*output);
  } else {
    block.data.assign(stored->contents);
  }
  // Contents shorter than 4 bytes or with more restart points than they can
  // hold are kept but never decoded: restart_offset stays 0 and entries() is
  // empty, so such an index block leaves the table with an empty index.
  if (block.data.size() >= 4) block.num_restarts = load_le32(block.data.data() + block.data.size() - 4);
  block.restart_offset = restart_array_offset(block.data).value_or(0);
  return block;
}

std::vector<Record> LdbFile::records() const {
  VectorSink sink;
  BlockScratch scratch;
  visit_records(sink, scratch);
  return std::move(sink).take();
}

}  // namespace vostrel
