#pragma once
// The table file reader: opens a sorted table through its footer and index
// block, and turns the entries of the data blocks the index names into
// records. The format itself is described where each layer lives:
// table_format.h (footer, handles, stored blocks), block.h (entries),
// internal_key.h (what a table key says).

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/block.h"
#include "read/block_ahead.h"
#include "read/data_file_base.h"
#include "read/decode_scratch.h"
#include "format/internal_key.h"
#include "io/mapped_file.h"
#include "io/safe_copy.h"
#include "format/table_format.h"
#include "format/record.h"

namespace vostrel {

// A block's contents as read from a table, viewing either the file's bytes or
// a decompression buffer.
struct BlockView {
  std::uint64_t offset;  // where the block's stored bytes begin in the file
  std::string_view contents;
  bool was_compressed;
  // The block as stored (its bytes, the trailer's type and checksum) and the
  // codec that gave the contents: what its records' positions report.
  StoredBlock stored = {};
  Codec codec = Codec::None;
};

// The records of one data block's contents: each entry's internal key split
// into seq and state; offsets per the table rule (an entry's own position in
// a raw block, the block's position for a compressed one, which has no file
// position per entry). With `positions`, each record also carries where it
// lies (RecordPosition) and whether the block's trailer checksum holds; a
// block whose checksum fails gives its records all the same.
template <RecordSink Sink>
void visit_block_records(const BlockView& block, const SharedPath* path, std::string& key_scratch,
                         Sink& sink, Recovery recovered = Recovery::None, bool positions = false) {
  RecordPosition place;
  if (positions) {
    place.block_offset = block.offset;
    place.block_size = block.stored.contents.size();
    place.codec = block.codec;
    place.checksum_ok = block_checksum_matches(block.stored.contents, block.stored.type, block.stored.masked_crc);
  }
  walk_block_entries(block.contents, key_scratch,
                     [&](std::string_view key, std::string_view value, std::size_t at) {
                       const auto meaning = split_internal_key(key);
                       if (positions) {
                         place.entry_offset = at;
                         place.file_position = block.was_compressed ? std::nullopt
                                                                    : std::optional(block.offset + at);
                       }
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
                           .position = positions ? &place : nullptr,
                       });
                     });
}

// An opened table file. Immutable after open; movable, not copyable.
class TableFile : public DataFileBase<TableFile> {
 public:
  [[nodiscard]] static std::expected<TableFile, TableError> open(std::string path,
                                                             FileAccess access = FileAccess::Map);
  // The same checks over bytes already in memory, as open would have mapped them.
  [[nodiscard]] static std::expected<TableFile, TableError> from_mapped(std::string path,
                                                                    MappedFile file);

  // The one way any block of the table is read: checked against the file
  // (check_block_range), refused when it lay wholly in a hole of a sparse file
  // (zeros, no data), copied out of the file into `stored` (safe against the
  // file shrinking: a block cut short is an Io error), and decompressed into
  // `decompressed` when stored compressed. The contents view either buffer.
  // With a window, the stored bytes are read through it instead of into
  // `stored` (the walks over consecutive blocks), and may view it.
  [[nodiscard]] std::expected<BlockView, TableError> read_block(const BlockHandle& handle,
                                                              ByteBuffer& stored,
                                                              DecompressBuffer& decompressed,
                                                              ReadWindow* window = nullptr) const;
  // The same, as an owned copy.
  [[nodiscard]] std::expected<Block, TableError> read_block(const BlockHandle& handle) const;

  // Every entry of every data block the index names, in index order, one
  // record each. Blocks that cannot be read are skipped. Never fails; ends
  // early when scratch.stop asks, polled before each block.
  template <RecordSink Sink>
  void visit_records(Sink& sink, DecodeScratch& scratch) const {
    if (!file_.window_reads_without_mapping()) prepare_fault_guard();
    for (std::size_t i = 0; i < index_.size(); ++i) {
      if (scratch.stop.stop_requested()) return;
      if (skipped(i, scratch)) continue;
      visit_block(index_[i].second, sink, scratch);
    }
  }

  // The resumable walk (data_file_base.h); the resume point is the position
  // in index() of the next data block.
  template <RecordSink Sink>
  std::uint64_t visit_records_from(std::uint64_t resume, std::size_t want, Sink& sink,
                                   DecodeScratch& scratch) const {
    // Blocks are read through the scratch's window only (visit_block).
    if (!file_.window_reads_without_mapping()) prepare_fault_guard();
    CountingSink<Sink> counting{sink};
    for (std::uint64_t i = resume; i < index_.size(); ++i) {
      if (scratch.stop.stop_requested()) return kFileDone;
      if (skipped(static_cast<std::size_t>(i), scratch)) continue;
      visit_block_at(static_cast<std::size_t>(i), counting, scratch);
      if (counting.count >= want) return i + 1 < index_.size() ? i + 1 : kFileDone;
    }
    return kFileDone;
  }
  // How many of the file's bytes lie before a resume point: the walk's
  // progress, measured by where the next data block begins.
  [[nodiscard]] std::uint64_t bytes_before(std::uint64_t resume) const noexcept {
    if (resume >= index_.size()) return length();
    const std::uint64_t offset = index_[resume].second.offset;
    return offset < length() ? offset : length();
  }

  // has_mapping() is false for a file shorter than a footer: open keeps no
  // mapping for it.

  // The index block's entries: separator key and the data block's handle.
  [[nodiscard]] const std::vector<std::pair<std::string, BlockHandle>>& index() const noexcept {
    return index_;
  }

 private:
  // Whether the walk passes over the block at `index` of index()
  // (DecodeScratch::skip_block).
  [[nodiscard]] bool skipped(std::size_t index, const DecodeScratch& scratch) const {
    return scratch.skip_block != nullptr && scratch.ahead == nullptr && index > 0 &&
           scratch.skip_block(index_[index - 1].first, index_[index].first);
  }

  template <RecordSink Sink>
  void visit_block(const BlockHandle& handle, Sink& sink, DecodeScratch& scratch) const {
    const auto block = read_block(handle, scratch.stored, scratch.decompressed, &scratch.window);
    if (!block) return;
    visit_block_records(*block, &path_, scratch.key, sink, Recovery::None, scratch.positions);
  }

  // The block at `index` of index(), from the scratch's read-ahead when it
  // holds it (block_ahead.h), else read here.
  template <RecordSink Sink>
  void visit_block_at(std::size_t index, Sink& sink, DecodeScratch& scratch) const {
    if (scratch.ahead != nullptr) {
      if (const AheadBlock* ahead = scratch.ahead->take(this, index)) {
        struct Release {
          BlockAhead& ahead;
          ~Release() { ahead.release(); }
        } release{*scratch.ahead};
        if (!ahead->ok) return;
        const BlockView block{
            .offset = ahead->offset, .contents = ahead->contents, .was_compressed = ahead->was_compressed};
        visit_block_records(block, &path_, scratch.key, sink, Recovery::None, scratch.positions);
        return;
      }
    }
    visit_block(index_[index].second, sink, scratch);
  }

  TableFile(std::string path, MappedFile file) : DataFileBase(std::move(path), std::move(file)) {}

  std::vector<std::pair<std::string, BlockHandle>> index_;
};

}  // namespace vostrel
