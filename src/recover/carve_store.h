#pragma once
// Carving a whole store: what checksums still vouch for beyond the normal
// read, file by file in the store's carving order (store.h).

#include "read/decode_scratch.h"
#include "read/store.h"
#include "recover/carve_file.h"

namespace vostrel {

// The carved records of the file at `slot` of carving_order(): the verified
// blocks no index reaches, or the log records no framing reads. Tables that
// could not be opened take their place by number.
template <RecordSink Sink>
void visit_carved_file(const RawLevelDb& db, std::size_t slot, Sink& sink, DecodeScratch& scratch) {
  const auto& files = db.data_files();
  if (slot >= files.size()) {
    carve_unopened_table(db.unopened_tables()[slot - files.size()], sink, scratch);
  } else if (const auto* table = std::get_if<TableFile>(&files[slot])) {
    carve_table_file(*table, sink, scratch);
  } else {
    carve_log_file(std::get<LogFile>(files[slot]), sink, scratch);
  }
}

template <RecordSink Sink>
void visit_carved_records(const RawLevelDb& db, bool reverse, Sink& sink) {
  DecodeScratch scratch;
  for (const std::size_t slot : db.carving_order(reverse)) visit_carved_file(db, slot, sink, scratch);
}

}  // namespace vostrel
