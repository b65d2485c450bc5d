#pragma once
// Carving a whole store: what checksums still vouch for beyond the normal
// read, file by file, as the carving units of the store's reading order
// (RawLevelDb::reading_order, record_walk.h).

#include "read/decode_scratch.h"
#include "read/store.h"
#include "recover/carve_file.h"

namespace vostrel {

// The carver a walk that carves is given: the carved records of the file at
// `slot` of the carving slots, the verified blocks no index reaches or the
// log records no framing reads. Tables that could not be opened take their
// place by number.
struct StoreCarver {
  template <RecordSink Sink>
  void operator()(const RawLevelDb& db, std::size_t slot, Sink& sink, DecodeScratch& scratch) const {
    const auto& files = db.data_files();
    if (slot >= files.size()) {
      carve_unopened_table(db.unopened_tables()[slot - files.size()], sink, scratch);
    } else if (const auto* table = std::get_if<TableFile>(&files[slot])) {
      carve_table_file(*table, sink, scratch);
    } else {
      carve_log_file(std::get<LogFile>(files[slot]), sink, scratch);
    }
  }
};

}  // namespace vostrel
