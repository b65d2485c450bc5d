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
// by the file: kCarveWindow bytes at a time, plus, for tables, the overlap in
// which a block that begins in the window may end. Only the data of a sparse
// file is read: its holes (noted at open) hold no records, so the time is
// that of the bytes on disk. A hole shorter than kCarveOverlap is read as the
// zeros it holds (a copy made sparse may have turned a long zero value into
// one), so a table block is found across it.
inline constexpr std::size_t kCarveWindow = std::size_t{8} << 20;
inline constexpr std::size_t kCarveOverlap = std::size_t{8} << 20;

// Calls each(base, bytes, last) for the windows of the file's data stretches
// (each widened to multiples of `align`, which divides kCarveWindow), with
// `overlap` more bytes after each window where the stretch has them; `last`
// says the window reaches the end of its stretch. each returns where the
// next window begins, past base.
template <class Each>
void for_each_carve_window(const MappedFile& file, std::uint64_t align, std::size_t overlap, Each&& each) {
  prepare_fault_guard();
  ByteBuffer buffer;
  std::uint64_t done = 0;  // everything before it has been carved
  for (auto [start, end] : file.data_extents(kCarveOverlap)) {
    start = std::max(done, start - start % align);
    end = end % align == 0 ? end : std::min<std::uint64_t>(file.size(), end + (align - end % align));
    while (start < end) {
      const std::uint64_t left = end - start;
      const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(left, kCarveWindow + overlap));
      const std::string_view bytes = file.read(start, length, buffer);
      if (bytes.empty()) return;  // the file lost its bytes since open
      const bool last = bytes.size() == left;
      const std::uint64_t next = each(start, bytes, last);
      start = last || next <= start ? start + bytes.size() : next;
    }
    done = std::max(done, start);
  }
}

// The carved table records of an opened file: the blocks `reached` names are
// the normal read's and are not reported again. Returns the verdicts.
template <RecordSink Sink>
TableCarveCounts carve_table_records(const MappedFile& file, std::span<const BlockHandle> reached,
                                     const SharedPath* path, Sink& sink, DecodeScratch& scratch) {
  TableCarver carver(reached);
  const auto on_data = carved_block_records(path, sink, scratch);
  for_each_carve_window(file, 1, kCarveOverlap, [&](std::uint64_t base, std::string_view bytes, bool last) {
    // A window stops at the end of the first block that reaches past it; the
    // next begins there, so no block is reported twice.
    return base + carver.carve(bytes, base, last ? kScanToEnd : kCarveWindow, scratch.decompressed, on_data);
  });
  return carver.counts();
}

// The carved log records of an opened file, 32 KiB block by block; with
// `fragments`, with their positions.
template <RecordSink Sink>
LogCarveCounts carve_log_records(const MappedFile& file, const SharedPath* path, Sink& sink, std::string& joined,
                                 std::vector<LogFragment>* fragments = nullptr) {
  const auto on_logical = carved_log_records(path, sink, fragments);
  LogCarver carver(joined, on_logical, fragments);
  for_each_carve_window(file, kLogBlockSize, 0, [&](std::uint64_t base, std::string_view bytes, bool) {
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
