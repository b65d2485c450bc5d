#pragma once
// One data file read by its content, whatever its name and wherever it lies:
// a file a carving tool cut out of a disk image, a table renamed f12345.bin.
//
// How the kind is told:
// - the last 8 bytes are the table magic: a table. Its normal read goes
//   through footer and index; carving adds the verified data blocks the index
//   does not reach (all of them when the index cannot be read);
// - otherwise, when the file begins with a physical log record whose checksum
//   matches, a log (a table's first block cannot pass for one);
// - otherwise, when carving: if table carving finds at least one verified
//   data block, the file is a table cut short (no footer), and those blocks
//   are all it yields. A log's records carry no table block trailers, so a log
//   passes this test only if a value in it holds an image of a table;
// - otherwise a log: the normal framing, then log carving.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "recover/carve_file.h"
#include "read/decode_scratch.h"
#include "read/table_file.h"
#include "read/log_file.h"
#include "io/mapped_file.h"
#include "format/record.h"

namespace vostrel {

enum class LooseFileKind : std::uint8_t { Table, CutTable, Log };

// Whether bytes begin with a physical log record (full or first) whose
// checksum matches, as every log LevelDB writes does.
[[nodiscard]] bool begins_with_log_record(std::string_view bytes);
[[nodiscard]] bool begins_with_log_record(const MappedFile& file);

class LooseFile {
 public:
  [[nodiscard]] static std::expected<LooseFile, OsError> open(std::string path);
  [[nodiscard]] static LooseFile from_mapped(std::string path, MappedFile file);

  // The normal read's records, then (when carve) the carved ones, each in
  // file order. Returns what the file was read as. Never fails.
  template <RecordSink Sink>
  LooseFileKind visit_records(bool carve, Sink& sink, DecodeScratch& scratch) const {
    if (const auto* table = std::get_if<TableFile>(&reader_)) {
      table->visit_records(sink, scratch);
      if (carve) carve_table_file(*table, sink, scratch);
      return LooseFileKind::Table;
    }
    if (const auto* unopened = std::get_if<UnopenedTable>(&reader_)) {
      if (carve) carve_table_records(unopened->file, {}, &unopened->path, sink, scratch);
      return LooseFileKind::Table;
    }
    const auto& log = std::get<LogFile>(reader_);
    if (carve && !begins_with_log_record(log.file())) {
      const auto counts = carve_table_records(log.file(), {}, &log.shared_path(), sink, scratch);
      if (counts.data > 0) return LooseFileKind::CutTable;
    }
    log.visit_records(sink, scratch);
    if (carve) carve_log_file(log, sink, scratch);
    return LooseFileKind::Log;
  }

 private:
  // A file with the table magic whose footer or index cannot be read.
  struct UnopenedTable {
    SharedPath path;
    MappedFile file;
  };
  explicit LooseFile(std::variant<TableFile, LogFile, UnopenedTable> reader) : reader_(std::move(reader)) {}

  std::variant<TableFile, LogFile, UnopenedTable> reader_;
};

}  // namespace vostrel
