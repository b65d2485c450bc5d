#pragma once
// `dump --latest`: a store's current records that hold a value, in bytewise
// user-key order (read/latest_records.h), written as the dump writes records
// (record_export.h), with the status field ("current") if asked for.
//
// With the default comparator, two merges, neither holding the records: the
// files merged by key once only to learn that their order allows it
// (read/key_merge.h), then merged again, on a thread per key range, the
// ranges' records written one range after another as the merge hands them
// over (read/latest_records.h's LatestStream). Memory: what a merge keeps,
// and a few batches of records a range. When a table is not in bytewise
// order (another comparator, a damaged table), the current-record table
// and then the records themselves are held, copied out and sorted
// (LatestRecords::collect). The control's check_in is called as in
// export_store, on the caller's thread (bytes done stay 0 until the records
// are written).

#include "export/record_export.h"
#include "export/store_export.h"
#include "read/store.h"

namespace vostrel {

[[nodiscard]] StoreExportResult export_latest(const RawLevelDb& db, const ExportOptions& options, ChunkWriter writer,
                                              const StoreExportControl& control);

}  // namespace vostrel
