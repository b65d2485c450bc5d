#pragma once
// Carving whole data files, for the directory reader and for loose files: a
// table together with what its index already reaches, a table that could
// not be opened at all, and a log.

#include <string_view>
#include <vector>

#include "decode_scratch.h"
#include "ldb_file.h"
#include "log_carver.h"
#include "log_file.h"
#include "mapped_file.h"
#include "table_carver.h"
#include "types.h"

namespace vostrel {

// The carved records of an opened table: the blocks its index names are the
// normal read's and are not reported again.
template <RecordSink Sink>
void carve_table_file(const LdbFile& table, Sink& sink, DecodeScratch& scratch) {
  std::vector<BlockHandle> reached;
  reached.reserve(table.index().size());
  for (const auto& entry : table.index()) reached.push_back(entry.second);
  if (table.has_mapping()) {
    carve_table_records(table.bytes(), reached, &table.shared_path(), sink, scratch);
    return;
  }
  // Shorter than a footer: the reader kept no mapping, but a short block may
  // still be there.
  if (const auto bytes = MappedFile::open(table.path())) {
    carve_table_records(bytes->bytes(), reached, &table.shared_path(), sink, scratch);
  }
}

// The carved records of a table the normal read could not open (its footer
// or index is unreadable): every verified data block.
template <RecordSink Sink>
void carve_unopened_table(const SharedPath& path, Sink& sink, DecodeScratch& scratch) {
  if (const auto bytes = MappedFile::open(*path)) {
    carve_table_records(bytes->bytes(), {}, &path, sink, scratch);
  }
}

template <RecordSink Sink>
void carve_log_file(const LogFile& log, Sink& sink, DecodeScratch& scratch) {
  carve_log_records(log.bytes(), &log.shared_path(), sink, scratch.joined);
}

}  // namespace vostrel
