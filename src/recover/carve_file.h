#pragma once
// Carving whole data files, for the directory reader and for loose files: a
// table together with what its index already reaches, a table that could
// not be opened at all, and a log.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/byte_buffer.h"

#include "read/decode_scratch.h"
#include "read/table_file.h"
#include "recover/log_carver.h"
#include "read/log_file.h"
#include "io/mapped_file.h"
#include "io/safe_copy.h"
#include "recover/table_carver.h"
#include "format/log_format.h"
#include "format/record.h"

namespace vostrel {

// Carving reads a file through the same fault-safe copy as every other read
// (mapped_file.h), so a file that shrinks underneath yields what was still
// there, and window by window, so that memory is bounded by a window and not
// by the file: kCarveWindow bytes at a time. A table's search runs on across
// its windows, and a block found that began in an earlier window is read on
// its own, exactly (at most kMaxStoredBlock bytes): memory is a window plus
// the largest block. Only the data of a sparse file is read: its holes (noted
// at open) hold no records, so the time is that of the bytes on disk. A hole
// shorter than kCarveMinHole is read as the zeros it holds (a copy made sparse
// may have turned a long zero value into one), so a table block is found
// across it.
inline constexpr std::size_t kCarveWindow = std::size_t{8} << 20;
inline constexpr std::size_t kCarveMinHole = std::size_t{8} << 20;

// Calls each(base, bytes) for the windows of the file's data stretches (each
// widened to multiples of `align`, which divides kCarveWindow).
template <class Each>
void for_each_carve_window(const MappedFile& file, std::uint64_t align, Each&& each) {
  prepare_fault_guard();
  ByteBuffer buffer;
  std::uint64_t done = 0;  // everything before it has been carved
  for (auto [start, end] : file.data_extents(kCarveMinHole)) {
    start = std::max(done, start - start % align);
    end = end % align == 0 ? end : std::min<std::uint64_t>(file.size(), end + (align - end % align));
    while (start < end) {
      const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(end - start, kCarveWindow));
      const std::string_view bytes = file.read(start, length, buffer);
      if (bytes.empty()) return;  // the file lost its bytes since open
      each(start, bytes);
      start += bytes.size();
    }
    done = std::max(done, start);
  }
}

// One data stretch of a file as a table search reads it.
class FileCarveSource final : public CarveSource {
 public:
  FileCarveSource(const MappedFile& file, std::uint64_t begin, std::uint64_t end) noexcept
      : CarveSource(begin, end), file_(file) {}
  std::string_view window(std::uint64_t from) override {
    window_base_ = from;
    window_ = file_.read(from, static_cast<std::size_t>(std::min<std::uint64_t>(end_ - from, kCarveWindow)),
                         window_buffer_);
    return window_;
  }
  std::string_view block(std::uint64_t offset, std::size_t size) override {
    if (offset >= window_base_ && offset - window_base_ <= window_.size() &&
        size <= window_.size() - (offset - window_base_)) {
      return window_.substr(static_cast<std::size_t>(offset - window_base_), size);
    }
    return file_.read(offset, size, block_buffer_);
  }

 private:
  const MappedFile& file_;
  ByteBuffer window_buffer_;
  ByteBuffer block_buffer_;
  std::string_view window_;
  std::uint64_t window_base_ = 0;
};

// The carved table records of an opened file: the blocks `reached` names are
// the normal read's and are not reported again. Returns the verdicts.
template <RecordSink Sink>
TableCarveCounts carve_table_records(const MappedFile& file, std::span<const BlockHandle> reached,
                                     const SharedPath* path, Sink& sink, DecodeScratch& scratch) {
  prepare_fault_guard();
  TableCarver carver(reached);
  const auto on_data = carved_block_records(path, sink, scratch);
  for (const auto& [begin, end] : file.data_extents(kCarveMinHole)) {
    FileCarveSource source(file, begin, end);
    carver.carve(source, scratch.decompressed, on_data);
  }
  return carver.counts();
}

// The carved log records of an opened file, 32 KiB block by block; with
// `fragments`, with their positions.
template <RecordSink Sink>
LogCarveCounts carve_log_records(const MappedFile& file, const SharedPath* path, Sink& sink, std::string& joined,
                                 std::vector<LogFragment>* fragments = nullptr) {
  const auto on_logical = carved_log_records(path, sink, fragments);
  LogCarver carver(joined, on_logical, fragments);
  for_each_carve_window(file, kLogBlockSize, [&](std::uint64_t base, std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += kLogBlockSize) {
      carver.add_block(base + at, bytes.substr(at, kLogBlockSize));
    }
    return base + bytes.size();
  });
  return carver.counts();
}

// The carved records of an opened table: the blocks its index names are the
// normal read's and are not reported again.
template <RecordSink Sink>
void carve_table_file(const TableFile& table, Sink& sink, DecodeScratch& scratch) {
  std::vector<BlockHandle> reached;
  reached.reserve(table.index().size());
  for (const auto& entry : table.index()) reached.push_back(entry.second);
  if (table.has_mapping()) {
    carve_table_records(table.file(), reached, &table.shared_path(), sink, scratch);
    return;
  }
  // Shorter than a footer: the reader kept no mapping, but a short block may
  // still be there.
  if (const auto file = MappedFile::open(table.path())) {
    carve_table_records(*file, reached, &table.shared_path(), sink, scratch);
  }
}

// The carved records of a table the normal read could not open (its footer
// or index is unreadable): every verified data block.
template <RecordSink Sink>
void carve_unopened_table(const SharedPath& path, Sink& sink, DecodeScratch& scratch) {
  if (const auto file = MappedFile::open(*path)) carve_table_records(*file, {}, &path, sink, scratch);
}

template <RecordSink Sink>
void carve_log_file(const LogFile& log, Sink& sink, DecodeScratch& scratch) {
  carve_log_records(log.file(), &log.shared_path(), sink, scratch.joined,
                    scratch.positions ? &scratch.fragments : nullptr);
}

}  // namespace vostrel
