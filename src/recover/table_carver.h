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

// The bytes a search reads, window by window, from `begin` to `end`: so that
// a file is searched in a window's memory, yet a block of any size, wherever
// it begins, is found (the search's state runs on from window to window).
class CarveSource {
 public:
  // The least a window holds past its first byte unless the bytes end first:
  // what the search looks ahead of the byte it is at.
  static constexpr std::size_t kLookahead = 64;

  CarveSource(std::uint64_t begin, std::uint64_t end) noexcept : begin_(begin), end_(end) {}
  virtual ~CarveSource() = default;
  [[nodiscard]] std::uint64_t begin() const noexcept { return begin_; }
  [[nodiscard]] std::uint64_t end() const noexcept { return end_; }
  // The bytes from position `from` (begin <= from < end) on, as many as one
  // window holds; fewer only where the bytes end (or were lost). Valid until
  // the next call.
  virtual std::string_view window(std::uint64_t from) = 0;
  // Exactly the bytes [offset, offset + size) of a block found: from the
  // current window when it holds them, else read on their own (a block that
  // began in an earlier window). Shorter when they can no longer be read.
  // Valid until the next call of either function.
  virtual std::string_view block(std::uint64_t offset, std::size_t size) = 0;

 protected:
  std::uint64_t begin_;
  std::uint64_t end_;
};

// Finds, in file order, every stretch whose trailer checksum matches, and
// offers each to `consider`, which says whether to take it as a block. A taken
// block ends the search for the one before the next (blocks do not overlap);
// a refused one (say, a compressed block that does not decompress) is passed
// over, as is any stretch longer than kMaxBlockContents. Linear in the size of
// the bytes; memory bounded by a fixed table (see the .cc file for how the
// search resynchronises after damage) and the source's window.
void scan_table_blocks(CarveSource& source, const std::function<bool(const VerifiedExtent&)>& consider);
// The same over bytes in memory, positions counted from their start.
void scan_table_blocks(std::string_view file, const std::function<bool(const VerifiedExtent&)>& consider);

// The carver's verdicts, for tests and statistics.
struct TableCarveCounts {
  std::size_t verified = 0;    // stretches taken as blocks
  std::size_t data = 0;        // of which data blocks reported
  std::size_t reached = 0;     // data blocks the index already reaches
  std::size_t structural = 0;  // index and metaindex blocks
};

// The carving of one table, fed stretch by stretch (the data of a sparse
// file), its verdicts summed over them. The handles of `reached` are in file
// positions, as are the offsets of the blocks handed to on_data.
class TableCarver {
 public:
  explicit TableCarver(std::span<const BlockHandle> reached);
  // Carves the bytes of `source`.
  void carve(CarveSource& source, DecompressBuffer& buffer, const std::function<void(const BlockView&)>& on_data);
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
