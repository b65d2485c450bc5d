#pragma once
// `dump --latest`: a store's current records that hold a value, in bytewise
// user-key order (read/latest_records.h), written as the dump writes records
// (record_export.h), with the status field ("current") if asked for.
//
// Three steps on the caller's thread: the pass that finds the current
// records, the pass that copies out those holding a value, then the merge of
// the files' runs straight into the exporter. Memory: the copied records (see
// latest_records.h) besides the current-record table. The control's check_in
// is called as in export_store (bytes done stay 0 until the records are
// written); threads are not used.

#include "export/record_export.h"
#include "export/store_export.h"
#include "read/store.h"

namespace vostrel {

[[nodiscard]] StoreExportResult export_latest(const RawLevelDb& db, const ExportOptions& options, ChunkWriter writer,
                                              const StoreExportControl& control);

}  // namespace vostrel
