#pragma once
// Carving a write-ahead log: physical records found by their header checksum
// where the normal framing (log_format.h) does not reach them.
//
// The framing is lenient and never checks a checksum: a malformed header (a
// type above 4, a length past the block) ends the walk of its 32 KiB block,
// and a damaged stretch can make it read garbage as headers. Every physical
// record LevelDB writes carries, in its first 4 bytes, the masked CRC32C of
// its type byte and payload. The carver tests that checksum at every offset
// of every block (in constant time per offset, from the block's prefix
// registers: crc32c.h), takes the records that verify, one after another,
// and joins first/middle/last fragments only when they follow one another
// exactly as LevelDB's writer places them. A logical record is reported only
// when the normal framing did not read a header at the place where it begins
// (then the normal read has it already), and is decoded as a write batch.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "format/record.h"
#include "format/write_batch.h"

namespace vostrel {

struct LogCarveCounts {
  std::size_t verified = 0;  // physical records whose checksum matches
  std::size_t logical = 0;   // complete logical records the normal read lacks
};

using LogicalRecordFn = std::function<void(std::uint64_t offset, std::string_view payload)>;

// The carver fed one 32 KiB block at a time, in file order, so that a file is
// carved window by window: only the joining of fragments reaches across
// blocks. Blocks left out (a hole, which reads as zeros and holds no verified
// record) only break a fragment chain, as the zeros would.
class LogCarver {
 public:
  // on_logical must outlive the carver. With `fragments`, each logical record
  // has there, during on_logical's call, the physical records it was joined
  // from (every one verified).
  LogCarver(std::string& joined, const LogicalRecordFn& on_logical,
            std::vector<LogFragment>* fragments = nullptr);
  LogCarver(const LogCarver&) = delete;
  LogCarver& operator=(const LogCarver&) = delete;
  ~LogCarver();

  // The block at file position `block_start` (a multiple of the block size);
  // shorter than a block only at the end of the file.
  void add_block(std::uint64_t block_start, std::string_view block);
  [[nodiscard]] const LogCarveCounts& counts() const noexcept { return counts_; }

 private:
  class Assembler;
  struct Tables;
  LogCarveCounts counts_;
  std::unique_ptr<Assembler> assembler_;
  std::unique_ptr<Tables> tables_;
};

// Calls on_logical(offset, payload) for every complete logical record made of
// verified physical records whose first one the normal framing did not read.
// offset follows the framing's rule (just past the first physical record);
// the payload view is valid during the call only. `data` is the file from
// its start.
LogCarveCounts carve_log_payloads(std::string_view data, std::string& joined, const LogicalRecordFn& on_logical);

// The records of those logical records' write batches, marked
// Recovery::CarvedLog; with `fragments` (the carver's), with their positions.
template <RecordSink Sink>
LogicalRecordFn carved_log_records(const SharedPath* path, Sink& sink,
                                   const std::vector<LogFragment>* fragments = nullptr) {
  return [path, &sink, fragments](std::uint64_t offset, std::string_view payload) {
    auto marked = [&](const RecordView& view) {
      RecordView carved = view;
      carved.recovered = Recovery::CarvedLog;
      sink(carved);
    };
    decode_write_batch(offset, payload, path, marked, fragments);
  };
}

}  // namespace vostrel
