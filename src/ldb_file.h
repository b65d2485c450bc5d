#pragma once
// The table file reader: opens a sorted table through its footer and index
// block, and turns the entries of the data blocks the index names into
// records. The format itself is described where each layer lives:
// table_format.h (footer, handles, stored blocks), block.h (entries),
// internal_key.h (what a table key says).

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "block.h"
#include "data_file_base.h"
#include "decode_scratch.h"
#include "internal_key.h"
#include "mapped_file.h"
#include "table_format.h"
#include "types.h"

namespace vostrel {

// A block's contents as read from a table, viewing either the file's bytes or
// a decompression buffer.
struct BlockView {
  std::uint64_t offset;  // where the block's stored bytes begin in the file
  std::string_view contents;
  bool was_compressed;
};

// The records of one data block's contents: each entry's internal key split
// into seq and state; offsets per the table rule (an entry's own position in
// a raw block, the block's position for a compressed one, which has no file
// position per entry).
template <RecordSink Sink>
void visit_block_records(const BlockView& block, const SharedPath* path, std::string& key_scratch,
                         Sink& sink, Recovery recovered = Recovery::None) {
  walk_block_entries(block.contents, key_scratch,
                     [&](std::string_view key, std::string_view value, std::size_t at) {
                       const auto meaning = split_internal_key(key);
                       sink(RecordView{
                           .key = key,
                           .value = value,
                           .seq = meaning.seq,
                           .state = meaning.state,
                           .file_type = FileType::Ldb,
                           .origin_file = path,
                           .offset = block.was_compressed ? block.offset : block.offset + at,
                           .was_compressed = block.was_compressed,
                           .recovered = recovered,
                       });
                     });
}

// An opened table file. Immutable after open; movable, not copyable.
class LdbFile : public DataFileBase<LdbFile> {
 public:
  [[nodiscard]] static std::expected<LdbFile, LdbError> open(std::string path);
  // The same checks over bytes already in memory, as open would have mapped them.
  [[nodiscard]] static std::expected<LdbFile, LdbError> from_mapped(std::string path,
                                                                    MappedFile file);

  // The one way any block of the table is read: located, bounds-checked and
  // decompressed into buffer when stored compressed.
  [[nodiscard]] std::expected<BlockView, LdbError> read_block(const BlockHandle& handle,
                                                              DecompressBuffer& buffer) const;
  // The same, as an owned copy.
  [[nodiscard]] std::expected<Block, LdbError> read_block(const BlockHandle& handle) const;

  // Every entry of every data block the index names, in index order, one
  // record each. Blocks that cannot be read are skipped. Never fails.
  template <RecordSink Sink>
  void visit_records(Sink& sink, DecodeScratch& scratch) const {
    for (const auto& entry : index_) {
      const auto block = read_block(entry.second, scratch.decompressed);
      if (!block) continue;
      visit_block_records(*block, &path_, scratch.key, sink);
    }
  }

  // has_mapping() is false for a file shorter than a footer: open keeps no
  // mapping for it.

  // The index block's entries: separator key and the data block's handle.
  [[nodiscard]] const std::vector<std::pair<std::string, BlockHandle>>& index() const noexcept {
    return index_;
  }

 private:
  LdbFile(std::string path, MappedFile file) : DataFileBase(std::move(path), std::move(file)) {}

  std::vector<std::pair<std::string, BlockHandle>> index_;
};

}  // namespace vostrel
