#pragma once
// Carving a table file: its blocks found by their checksums alone, without
// the footer or the index, so that a table whose footer or index is gone, or
// that was cut short, still gives up the data blocks physically there.
//
// LevelDB writes a table's blocks back to back from offset 0 (data blocks,
// then the filter, metaindex and index blocks), each followed by its 5-byte
// trailer: compression type, then the masked CRC32C of the stored bytes and
// the type byte. A stretch [s, e) followed at e by a type byte and a matching
// masked CRC is a block; nothing else is taken for one.
//
// A verified block is reported as data only when it is also well formed as a
// block (block.h) after decompression through the one entry point, every key
// is an internal key, and it is not one of the table's own structural blocks
// (an index or metaindex block: every value a block handle, the handles
// consecutive and behind the block itself). Blocks that the table's index
// already reaches are left to the normal read.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "read/decode_scratch.h"
#include "read/table_file.h"
#include "format/table_format.h"
#include "format/record.h"

namespace vostrel {

// A stretch of a table file that its trailer's checksum vouches for.
struct VerifiedExtent {
  std::uint64_t offset;  // where the stored bytes begin
  std::uint64_t size;    // the stored bytes, without the trailer
  std::uint8_t type;     // the trailer's compression type
  friend bool operator==(const VerifiedExtent&, const VerifiedExtent&) = default;
};

// Finds, in file order, every stretch whose trailer checksum matches, and
// offers each to `consider`, which says whether to take it as a block. A taken
// block ends the search for the one before the next (blocks do not overlap);
// a refused one (say, a compressed block that does not decompress) is passed
// over. Linear in the file's size; memory bounded by a fixed table (see the
// .cc file for how the search resynchronises after damage).
//
// With stop_from, the search ends as soon as a taken block ends (with its
// trailer) at or past stop_from, and returns that position, where a search
// of the bytes that follow begins as this one would have gone on; otherwise
// it returns file.size(). So a file is scanned window by window.
inline constexpr std::uint64_t kScanToEnd = ~std::uint64_t{0};
std::uint64_t scan_table_blocks(std::string_view file, const std::function<bool(const VerifiedExtent&)>& consider,
                                std::uint64_t stop_from = kScanToEnd);

// The carver's verdicts, for tests and statistics.
struct TableCarveCounts {
  std::size_t verified = 0;    // stretches taken as blocks
  std::size_t data = 0;        // of which data blocks reported
  std::size_t reached = 0;     // data blocks the index already reaches
  std::size_t structural = 0;  // index and metaindex blocks
};

// The carving of one table fed window by window (scan_table_blocks'
// stop_from), its verdicts summed over them. The handles of `reached` are in
// file positions, as are the offsets of the blocks handed to on_data.
class TableCarver {
 public:
  explicit TableCarver(std::span<const BlockHandle> reached);
  // Carves `window`, the file's bytes from position `base`; returns the
  // position (relative to the window) where the search stopped.
  std::uint64_t carve(std::string_view window, std::uint64_t base, std::uint64_t stop_from,
                      DecompressBuffer& buffer, const std::function<void(const BlockView&)>& on_data);
  [[nodiscard]] const TableCarveCounts& counts() const noexcept { return counts_; }

 private:
  static bool by_position(const BlockHandle& a, const BlockHandle& b);
  std::vector<BlockHandle> known_;  // sorted by position
  TableCarveCounts counts_;
  std::string key_;
};

// Carves table bytes and calls on_data(block) for every verified data block
// that no handle in `reached` names (the handles of a readable index, in any
// order; empty when there is none). The view is valid during the call only.
TableCarveCounts carve_table_blocks(std::string_view file, std::span<const BlockHandle> reached,
                                    DecompressBuffer& buffer,
                                    const std::function<void(const BlockView&)>& on_data);

// The records of carve_table_blocks, marked Recovery::CarvedBlock, with the
// normal read's provenance rules.
template <RecordSink Sink>
std::function<void(const BlockView&)> carved_block_records(const SharedPath* path, Sink& sink,
                                                           DecodeScratch& scratch) {
  return [path, &sink, &scratch](const BlockView& block) {
    visit_block_records(block, path, scratch.key, sink, Recovery::CarvedBlock, scratch.positions);
  };
}

}  // namespace vostrel
