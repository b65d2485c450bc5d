#include "ldb_file.h"

namespace vostrel {

std::expected<LdbFile, LdbError> LdbFile::open(std::string path) {
  auto file = MappedFile::open(path);
  if (!file) return std::unexpected(LdbError{LdbErrorKind::Io, file.error().message()});
  return from_mapped(std::move(path), std::move(*file));
}

std::expected<LdbFile, LdbError> LdbFile::from_mapped(std::string path, MappedFile file) {
  // Too short for a footer: not an error, just a table without blocks.
  if (file.size() < kFooterSize) file = MappedFile();

  LdbFile table(std::move(path), std::move(file));
  if (!table.file_.has_mapping()) return table;

  const auto footer = decode_footer(table.file_.bytes(), table.path());
  if (!footer) return std::unexpected(footer.error());
  DecompressBuffer buffer;
  const auto index_block = table.read_block(footer->index, buffer);
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

std::expected<BlockView, LdbError> LdbFile::read_block(const BlockHandle& handle,
                                                       DecompressBuffer& buffer) const {
  if (!has_mapping()) return std::unexpected(LdbError{LdbErrorKind::FileTooSmall, {}});
  const auto stored = locate_block(file_.bytes(), handle, path());
  if (!stored) return std::unexpected(stored.error());
  const auto contents = block_contents(*stored, buffer);
  if (!contents) return std::unexpected(contents.error());
  return BlockView{handle.offset, *contents, stored->compressed()};
}

std::expected<Block, LdbError> LdbFile::read_block(const BlockHandle& handle) const {
  DecompressBuffer buffer;
  const auto view = read_block(handle, buffer);
  if (!view) return std::unexpected(view.error());
  return Block::copy_of(view->offset, view->contents, view->was_compressed);
}

}  // namespace vostrel
