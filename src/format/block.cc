#include "format/block.h"

namespace vostrel {

std::optional<std::size_t> restart_array_offset(std::string_view contents) noexcept {
  if (contents.size() < 4) return std::nullopt;
  const std::uint64_t num_restarts = load_le32(contents.data() + contents.size() - 4);
  const std::size_t room = contents.size() - 4;
  if (num_restarts > room / 4) return std::nullopt;
  return room - 4 * static_cast<std::size_t>(num_restarts);
}

bool is_well_formed_block(std::string_view contents) {
  const auto limit = restart_array_offset(contents);
  if (!limit) return false;
  const std::size_t num_restarts = (contents.size() - 4 - *limit) / 4;
  if (num_restarts == 0 || load_le32(contents.data() + *limit) != 0) return false;
  std::size_t next_restart = 0;  // index into the restart array
  std::size_t end = 0;           // where the last entry walked ends
  bool consistent = true;
  std::string key;
  walk_block_entries(contents, key, [&](std::string_view, std::string_view value, std::size_t at) {
    if (!consistent || at != end) {
      consistent = false;
      return;
    }
    if (next_restart < num_restarts &&
        load_le32(contents.data() + *limit + 4 * next_restart) == at) {
      if (contents[at] != 0) consistent = false;  // a restart point shares nothing
      ++next_restart;
    }
    end = static_cast<std::size_t>(value.data() + value.size() - contents.data());
  });
  return consistent && end == *limit && end > 0 && next_restart == num_restarts;
}

std::vector<BlockEntry> block_entries(std::string_view contents) {
  std::vector<BlockEntry> result;
  std::string key;
  walk_block_entries(contents, key, [&](std::string_view k, std::string_view v, std::size_t at) {
    result.push_back(BlockEntry{std::string(k), std::string(v), at});
  });
  return result;
}

Block Block::copy_of(std::uint64_t offset, std::string_view contents, bool was_compressed) {
  Block block;
  block.offset = offset;
  block.data.assign(contents);
  block.was_compressed = was_compressed;
  // Contents shorter than 4 bytes or with more restart points than they can
  // hold are kept but never decoded: restart_offset stays 0 and entries() is
  // empty.
  if (block.data.size() >= 4) block.num_restarts = load_le32(block.data.data() + block.data.size() - 4);
  block.restart_offset = restart_array_offset(block.data).value_or(0);
  return block;
}

}  // namespace vostrel
