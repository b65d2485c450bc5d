#pragma once
// Records written as JSON Lines or CSV, byte for byte as `vostrel dump` has
// always written them from Python:
//
//   JSON Lines  {"key": K, "user_key": U, "value": V, "seq": N, "state": "live",
//               "file_type": "ldb", "origin_file": P, "offset": N,
//               "was_compressed": false}   one object per line, strings quoted
//               as json.dumps does with ensure_ascii=False.
//   CSV         a header row, then one row per record in the same field order,
//               quoted as Python's csv.writer does with lineterminator "\n".
//
// Options add fields after these (ExportOptions). K, U and V are the bytes in one of the ByteEncodings; P is the data file's
// path decoded from UTF-8 with every invalid sequence replaced by U+FFFD.
//
// The exporter is a record sink. Output collects in one buffer that is handed
// to the caller's ChunkWriter whenever it passes the chunk size; a long key or
// value is encoded piece by piece into that buffer, so memory stays bounded by
// the chunk size whatever the size of a record.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "export/byte_encoding.h"
#include "format/record.h"
#include "read/current_versions.h"

namespace vostrel {

enum class ExportFormat : std::uint8_t { Jsonl, Csv };

// Why output could not be written.
struct WriteError {
  int error_number = 0;  // errno for a system error, else 0
  std::string message;
};

// Takes each chunk of output, in order. An error stops the export: nothing
// more is written and finish() reports it.
using ChunkWriter = std::function<std::expected<void, WriteError>(std::string_view chunk)>;

// The first row of a CSV export.
inline constexpr std::string_view kCsvHeader =
    "key,user_key,value,seq,state,file_type,origin_file,offset,was_compressed\n";

// A buffer of output handed over whole, for a caller that queues chunks to
// write them later (store_export.h) instead of copying them. A writer that
// builds its output in a string hands the string over instead (data empty).
struct ChunkBuffer {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  std::size_t capacity = 0;
  std::string text;  // the output when data is empty
  [[nodiscard]] std::string_view bytes() const noexcept {
    return data ? std::string_view(data.get(), size) : std::string_view(text);
  }
};

// Takes the full buffer and leaves in its place one to fill next: empty, or
// one handed over earlier and since written (its size is ignored). An error
// stops the export as a ChunkWriter's does.
using ChunkTaker = std::function<std::expected<void, WriteError>(ChunkBuffer& full)>;

struct ExportOptions {
  ExportFormat format = ExportFormat::Jsonl;
  ByteEncoding encoding = ByteEncoding::Escaped;
  // Only records in one of these states; nullopt writes every record.
  std::optional<std::vector<KeyState>> states = std::nullopt;
  std::size_t chunk_size = std::size_t{1} << 20;
  // CSV only: whether the output starts with the header row (false for every
  // piece of an export but the first).
  bool header = true;
  // Output of many stores: every record starts with a "store" field (CSV: a
  // first "store" column) holding this path, decoded from UTF-8 as
  // origin_file is.
  std::optional<std::string> store = std::nullopt;
  // Every record ends with a "recovered" field (CSV: a last "recovered"
  // column): null (an empty cell) for the normal read, "carved-block" or
  // "carved-log" for a record carving found.
  bool recovered = false;
  // Every record ends with a "status" field (CSV: a last "status" column),
  // after "recovered" if that is there: "current", "superseded" or
  // "orphaned" (read/current_versions.h). The exporter writes it for records
  // handed over with their status; the walk (store_export.h) hands them so.
  bool status = false;
  // Every record ends with where its bytes lie (RecordPosition), after
  // "status" if that is there: "block_offset", "block_size", "codec",
  // "entry_offset" (table records), "fragments" (log records: a list of
  // [header position, payload length]; CSV: "position:length" pairs separated
  // by spaces), "file_position" and "crc" ("ok" or "bad"). What a record
  // does not have is null (an empty cell). The walk must be asked for
  // positions (DecodeScratch::positions); store_export.h does so.
  bool positions = false;
};

// The header row of a CSV export with these options.
[[nodiscard]] std::string csv_header(const ExportOptions& options);

class RecordExporter {
 public:
  // A CSV export starts with its header row.
  RecordExporter(const ExportOptions& options, ChunkWriter writer);
  RecordExporter(const ExportOptions& options, ChunkTaker taker);
  RecordExporter(const RecordExporter&) = delete;
  RecordExporter& operator=(const RecordExporter&) = delete;

  void operator()(const RecordView& record) { write_record(record, nullptr); }
  // The record with its status field.
  void operator()(const RecordView& record, RecordStatus status) { write_record(record, &status); }

  // The store field of the records from here on (an export of many stores
  // switches it between stores); the store column of a CSV header is the
  // caller's to have asked for.
  void set_store(std::string_view store);

  // Hands over what is still buffered. Returns the error that stopped the
  // export, if any; output dropped unflushed is never reported as written.
  [[nodiscard]] std::expected<void, WriteError> finish();

  [[nodiscard]] bool failed() const noexcept { return error_.has_value(); }
  // Records formatted so far (the state filter's rejects not counted).
  [[nodiscard]] std::uint64_t records_written() const noexcept { return records_; }

 private:
  void write_record(const RecordView& record, const RecordStatus* status);
  void set_record_start(const std::optional<std::string_view>& store);
  void write_field(std::string_view bytes);
  void write_tail(const RecordView& record, const RecordStatus* status);
  void write_position(const RecordView& record);
  const std::string& origin_text(const SharedPath* origin);
  // Makes room for n more bytes, flushing or growing the buffer.
  char* reserve(std::size_t n);
  void flush();
  void append(std::string_view text);

  ExportFormat format_;
  ByteEncoding encoding_;
  StateFilter admitted_;
  bool recovered_;
  bool positions_;
  std::size_t chunk_size_;
  ChunkWriter writer_;  // one of these two
  ChunkTaker taker_;
  std::size_t base_capacity_ = 0;  // what a buffer holds at least

  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;

  // The formatted path of the last data file seen. Holding its SharedPath keeps
  // the address, which identifies it, from being reused by another path.
  bool have_origin_ = false;
  SharedPath origin_;
  std::string origin_text_;

  // What every record starts with: the opening brace (JSON Lines) and the
  // store field, if any.
  std::string record_start_;

  std::uint64_t records_ = 0;
  std::optional<WriteError> error_;
};

}  // namespace vostrel
