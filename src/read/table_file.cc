#include "read/table_file.h"

namespace vostrel {
namespace {

TableError shrunk() {
  return TableError{TableErrorKind::Io, "the file lost bytes since it was opened (it shrank)"};
}

}  // namespace

std::expected<TableFile, TableError> TableFile::open(std::string path, FileAccess access) {
  auto file = MappedFile::open(path, access);
  if (!file) return std::unexpected(TableError{TableErrorKind::Io, file.error().message()});
  return from_mapped(std::move(path), std::move(*file));
}

std::expected<TableFile, TableError> TableFile::from_mapped(std::string path, MappedFile file) {
  // Too short for a footer: not an error, just a table without blocks.
  if (file.size() < kFooterSize) file = MappedFile();

  TableFile table(std::move(path), std::move(file));
  if (!table.file_.has_mapping()) return table;

  prepare_fault_guard();
  ByteBuffer stored;
  const std::string_view footer_bytes =
      table.file_.read(table.file_.size() - kFooterSize, kFooterSize, stored);
  if (footer_bytes.size() != kFooterSize) return std::unexpected(shrunk());
  const auto footer = decode_footer(footer_bytes, table.path());
  if (!footer) return std::unexpected(footer.error());
  DecompressBuffer decompressed;
  const auto index_block = table.read_block(footer->index, stored, decompressed);
  if (!index_block) return std::unexpected(index_block.error());
  // Contents without a valid restart array leave the table with an empty index.
  std::string key;
  walk_block_entries(index_block->contents, key,
                     [&](std::string_view k, std::string_view value, std::size_t) {
                       if (const auto handle = BlockHandle::from_bytes(value)) {
                         table.index_.emplace_back(std::string(k), *handle);
                       }
                     });
  return table;
}

std::expected<BlockView, TableError> TableFile::read_block(const BlockHandle& handle,
                                                       ByteBuffer& stored,
                                                       DecompressBuffer& decompressed,
                                                       ReadWindow* window) const {
  if (!has_mapping()) return std::unexpected(TableError{TableErrorKind::FileTooSmall, {}});
  if (auto in_range = check_block_range(file_.size(), handle, path()); !in_range) {
    return std::unexpected(in_range.error());
  }
  const std::uint64_t with_trailer = handle.size + kBlockTrailerSize;
  if (file_.in_hole(handle.offset, with_trailer)) {
    return std::unexpected(TableError{TableErrorKind::InvalidBlock,
                                    "Block at offset " + std::to_string(handle.offset) +
                                        " lies in a hole of the sparse file " + path()});
  }
  const auto length = static_cast<std::size_t>(with_trailer);
  const std::string_view bytes = window != nullptr ? window->read(file_, handle.offset, length)
                                                   : file_.read(handle.offset, length, stored);
  if (bytes.size() != with_trailer) return std::unexpected(shrunk());
  const auto size = static_cast<std::size_t>(handle.size);
  const StoredBlock block{bytes.substr(0, size), static_cast<std::uint8_t>(bytes[size]),
                          load_le32(bytes.data() + size + 1)};
  Codec codec = Codec::None;
  const auto contents = block_contents(block, decompressed, &codec);
  if (!contents) return std::unexpected(contents.error());
  return BlockView{handle.offset, *contents, block.compressed(), block, codec};
}

std::expected<Block, TableError> TableFile::read_block(const BlockHandle& handle) const {
  prepare_fault_guard();
  ByteBuffer stored;
  DecompressBuffer decompressed;
  const auto view = read_block(handle, stored, decompressed);
  if (!view) return std::unexpected(view.error());
  return Block::copy_of(view->offset, view->contents, view->was_compressed);
}

}  // namespace vostrel
