#pragma once
// `dump --latest`: a store's current records that hold a value, in bytewise
// user-key order (read/latest_records.h), written as the dump writes records
// (record_export.h), with the status field ("current") if asked for.
//
// Two steps: the records found and copied out (latest_records.h: one pass
// merging the files by key, on a thread per key range, or two passes on the
// caller's thread when a table is not in bytewise order), then handed
// straight to the exporter in key order. Memory: the copied records (see
// latest_records.h), and in the two-pass case the current-record table. The
// control's check_in is called as in export_store, on the caller's thread
// (bytes done stay 0 until the records are written).

#include "export/record_export.h"
#include "export/store_export.h"
#include "read/store.h"

namespace vostrel {

[[nodiscard]] StoreExportResult export_latest(const RawLevelDb& db, const ExportOptions& options, ChunkWriter writer,
                                              const StoreExportControl& control);

}  // namespace vostrel
