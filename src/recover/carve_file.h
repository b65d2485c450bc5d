#pragma once
// Carving whole data files, for the directory reader and for loose files: a
// table together with what its index already reaches, a table that could
// not be opened at all, and a log.

#include <algorithm>
#include <cstddef>
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
#include "format/record.h"

namespace vostrel {

// Carving looks at a whole file at once. It reads the file through the same
// fault-safe copy as every other read (mapped_file.h), so a file that shrinks
// underneath yields what was still there. At most the first GiB is carved: no
// LevelDB data file comes near that size, and a hostile (sparse) one must not
// cost memory in proportion to what it claims.
inline constexpr std::size_t kMaxCarvedFileBytes = std::size_t{1} << 30;

[[nodiscard]] inline std::string_view carve_bytes(const MappedFile& file, ByteBuffer& buffer) {
  prepare_fault_guard();
  return file.read(0, std::min(file.size(), kMaxCarvedFileBytes), buffer);
}

// The carved records of an opened table: the blocks its index names are the
// normal read's and are not reported again.
template <RecordSink Sink>
void carve_table_file(const TableFile& table, Sink& sink, DecodeScratch& scratch) {
  std::vector<BlockHandle> reached;
  reached.reserve(table.index().size());
  for (const auto& entry : table.index()) reached.push_back(entry.second);
  ByteBuffer buffer;
  if (table.has_mapping()) {
    carve_table_records(carve_bytes(table.file(), buffer), reached, &table.shared_path(), sink, scratch);
    return;
  }
  // Shorter than a footer: the reader kept no mapping, but a short block may
  // still be there.
  if (const auto file = MappedFile::open(table.path())) {
    carve_table_records(carve_bytes(*file, buffer), reached, &table.shared_path(), sink, scratch);
  }
}

// The carved records of a table the normal read could not open (its footer
// or index is unreadable): every verified data block.
template <RecordSink Sink>
void carve_unopened_table(const SharedPath& path, Sink& sink, DecodeScratch& scratch) {
  if (const auto file = MappedFile::open(*path)) {
    ByteBuffer buffer;
    carve_table_records(carve_bytes(*file, buffer), {}, &path, sink, scratch);
  }
}

template <RecordSink Sink>
void carve_log_file(const LogFile& log, Sink& sink, DecodeScratch& scratch) {
  ByteBuffer buffer;
  carve_log_records(carve_bytes(log.file(), buffer), &log.shared_path(), sink, scratch.joined);
}

}  // namespace vostrel
