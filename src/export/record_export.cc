#include "export/record_export.h"

#include <charconv>
#include <cstring>
#include <optional>
#include <utility>

#include "format/internal_key.h"
#include "export/json_text.h"
#include "base/utf8.h"

namespace vostrel {
namespace {

// Keys and values longer than this are encoded in pieces of about this size,
// each flushed as the buffer fills; shorter ones in one go.
constexpr std::size_t kPiece = std::size_t{64} << 10;
// Room for everything of a record but its three byte fields and its path.
constexpr std::size_t kTailRoom = 256;

constexpr std::string_view file_type_name(FileType type) noexcept {
  switch (type) {
    case FileType::Ldb: return "ldb";
    case FileType::Log: return "log";
  }
  return "unknown";
}

char* put(char* dst, std::string_view text) noexcept {
  std::memcpy(dst, text.data(), text.size());
  return dst + text.size();
}

char* put_number(char* dst, std::uint64_t n) noexcept {
  return std::to_chars(dst, dst + 20, n).ptr;  // 20 digits hold any uint64
}

char* put_quoted(char* dst, std::string_view text) noexcept {
  *dst++ = '"';
  dst = put(dst, text);
  *dst++ = '"';
  return dst;
}

// A JSON string literal, as the rest of the output writes them.
std::string json_string(std::string_view text) {
  std::string out;
  json::append_text(out, text);
  return out;
}

// A CSV field as Python 3.11's csv.writer writes it with the default dialect
// and lineterminator "\n": quoted only when it holds the delimiter, the quote
// character or a character of the line terminator, with quotes doubled. (A
// carriage return alone does not cause quoting in that version.)
std::string csv_field(std::string_view text) {
  if (text.find_first_of(",\"\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

std::string csv_header(const ExportOptions& options) {
  std::string header = std::string(options.store ? "store," : "") + std::string(kCsvHeader);
  if (options.recovered) header.insert(header.size() - 1, ",recovered");
  if (options.status) header.insert(header.size() - 1, ",status");
  if (options.positions) {
    header.insert(header.size() - 1, ",block_offset,block_size,codec,entry_offset,fragments,file_position,crc");
  }
  return header;
}

RecordExporter::RecordExporter(const ExportOptions& options, ChunkTaker taker)
    : RecordExporter(options, ChunkWriter()) {
  taker_ = std::move(taker);
}

RecordExporter::RecordExporter(const ExportOptions& options, ChunkWriter writer)
    : format_(options.format),
      encoding_(options.encoding),
      admitted_(options.states),
      recovered_(options.recovered),
      positions_(options.positions),
      chunk_size_(options.chunk_size > 0 ? options.chunk_size : 1),
      writer_(std::move(writer)) {
  // Enough that a record with short fields never has to flush midway.
  capacity_ = chunk_size_ + 3 * max_encoded_size(ByteEncoding::Escaped, kPiece) + kTailRoom;
  base_capacity_ = capacity_;
  buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
  set_record_start(options.store);
  if (format_ == ExportFormat::Csv && options.header) append(csv_header(options));
}

void RecordExporter::set_record_start(const std::optional<std::string_view>& store) {
  record_start_.clear();
  if (format_ == ExportFormat::Jsonl) {
    record_start_ = store ? "{\"store\": " + json_string(utf8::decode_replace(*store)) + ", " : std::string("{");
    record_start_ += "\"key\": ";
  } else if (store) {
    record_start_ = csv_field(utf8::decode_replace(*store)) + ",";
  }
}

void RecordExporter::set_store(std::string_view store) { set_record_start(store); }

char* RecordExporter::reserve(std::size_t n) {
  if (capacity_ - size_ < n) {
    flush();
    if (n > capacity_) {  // only for a path longer than the spare room
      buffer_ = std::make_unique_for_overwrite<char[]>(n);
      capacity_ = n;
    }
  }
  return buffer_.get() + size_;
}

void RecordExporter::flush() {
  if (size_ > 0 && !error_) {
    if (taker_) {
      ChunkBuffer full{std::move(buffer_), size_, capacity_, {}};
      auto taken = taker_(full);
      if (!taken) error_ = std::move(taken.error());
      buffer_ = std::move(full.data);
      capacity_ = full.capacity;
      if (buffer_ == nullptr || capacity_ < base_capacity_) {
        buffer_ = std::make_unique_for_overwrite<char[]>(base_capacity_);
        capacity_ = base_capacity_;
      }
    } else {
      auto written = writer_(std::string_view(buffer_.get(), size_));
      if (!written) error_ = std::move(written.error());
    }
  }
  size_ = 0;
}

void RecordExporter::write_field(std::string_view bytes) {
  bool quoted = true;
  FieldQuoting quoting = FieldQuoting::Json;
  if (format_ == ExportFormat::Csv) {
    quoted = csv_needs_quotes(bytes, encoding_);
    quoting = quoted ? FieldQuoting::CsvQuoted : FieldQuoting::None;
  }
  if (bytes.size() <= kPiece) {
    char* p = reserve(max_encoded_size(encoding_, bytes.size()) + 2);
    if (quoted) *p++ = '"';
    p = write_encoded(p, bytes, encoding_, quoting);
    if (quoted) *p++ = '"';
    size_ = static_cast<std::size_t>(p - buffer_.get());
    return;
  }
  if (quoted) append("\"");
  while (!bytes.empty() && !error_) {
    const std::size_t n =
        bytes.size() <= kPiece ? bytes.size() : encoding_split_point(bytes, kPiece, encoding_);
    char* p = reserve(max_encoded_size(encoding_, n));
    p = write_encoded(p, bytes.substr(0, n), encoding_, quoting);
    size_ = static_cast<std::size_t>(p - buffer_.get());
    bytes.remove_prefix(n);
    if (size_ >= chunk_size_) flush();
  }
  if (quoted) append("\"");
}

const std::string& RecordExporter::origin_text(const SharedPath* origin) {
  const std::string* path = origin != nullptr ? origin->get() : nullptr;
  if (have_origin_ && path == origin_.get()) return origin_text_;
  const std::string text = utf8::decode_replace(path != nullptr ? std::string_view(*path) : "");
  origin_text_ = format_ == ExportFormat::Jsonl ? json_string(text) : csv_field(text);
  origin_ = path != nullptr ? *origin : nullptr;
  have_origin_ = true;
  return origin_text_;
}

void RecordExporter::write_tail(const RecordView& record, const RecordStatus* status) {
  const std::string& origin = origin_text(record.origin_file);
  char* p = reserve(kTailRoom + origin.size());
  const std::string_view compressed = record.was_compressed ? "true" : "false";
  if (format_ == ExportFormat::Jsonl) {
    p = put(p, ", \"seq\": ");
    p = put_number(p, record.seq);
    p = put(p, ", \"state\": \"");
    p = put(p, state_name(record.state));
    p = put(p, "\", \"file_type\": \"");
    p = put(p, file_type_name(record.file_type));
    p = put(p, "\", \"origin_file\": ");
    p = put(p, origin);
    p = put(p, ", \"offset\": ");
    p = put_number(p, record.offset);
    p = put(p, ", \"was_compressed\": ");
    p = put(p, compressed);
    if (recovered_) {
      p = put(p, ", \"recovered\": ");
      p = record.recovered == Recovery::None ? put(p, "null") : put_quoted(p, to_string(record.recovered));
    }
    if (status != nullptr) {
      p = put(p, ", \"status\": ");
      p = put_quoted(p, status_name(*status));
    }
    size_ = static_cast<std::size_t>(p - buffer_.get());
    if (positions_) write_position(record);
    p = buffer_.get() + size_;
    p = put(p, "}\n");
  } else {
    *p++ = ',';
    p = put_number(p, record.seq);
    *p++ = ',';
    p = put(p, state_name(record.state));
    *p++ = ',';
    p = put(p, file_type_name(record.file_type));
    *p++ = ',';
    p = put(p, origin);
    *p++ = ',';
    p = put_number(p, record.offset);
    *p++ = ',';
    p = put(p, compressed);
    if (recovered_) {
      *p++ = ',';
      p = put(p, to_string(record.recovered));
    }
    if (status != nullptr) {
      *p++ = ',';
      p = put(p, status_name(*status));
    }
    size_ = static_cast<std::size_t>(p - buffer_.get());
    if (positions_) write_position(record);
    p = buffer_.get() + size_;
    *p++ = '\n';
  }
  size_ = static_cast<std::size_t>(p - buffer_.get());
}

void RecordExporter::write_position(const RecordView& record) {
  const RecordPosition* position = record.position;
  const bool table = position != nullptr && record.file_type == FileType::Ldb;
  const bool log = position != nullptr && record.file_type == FileType::Log;
  // Room for the fields and the record's end; a fragment pair takes at most
  // two 20-digit numbers and 6 more characters.
  const std::size_t pairs = log ? position->fragments.size() : 0;
  char* p = reserve(kTailRoom + pairs * 48);
  const bool json = format_ == ExportFormat::Jsonl;
  const std::string_view none = json ? "null" : "";
  const auto field = [&](std::string_view name) {
    p = json ? put(put(put(p, ", \""), name), "\": ") : put(p, ",");
  };
  const auto number = [&](std::string_view name, std::optional<std::uint64_t> n) {
    field(name);
    p = n ? put_number(p, *n) : put(p, none);
  };
  const auto text = [&](std::string_view name, std::optional<std::string_view> t) {
    field(name);
    if (!t) p = put(p, none);
    else p = json ? put_quoted(p, *t) : put(p, *t);
  };
  using Number = std::optional<std::uint64_t>;
  number("block_offset", table ? Number(position->block_offset) : std::nullopt);
  number("block_size", table ? Number(position->block_size) : std::nullopt);
  text("codec", table ? std::optional(codec_name(position->codec)) : std::nullopt);
  number("entry_offset", table ? Number(position->entry_offset) : std::nullopt);
  field("fragments");
  if (!log) {
    p = put(p, none);
  } else {
    if (json) *p++ = '[';
    bool first = true;
    for (const LogFragment& fragment : position->fragments) {
      if (!first) p = put(p, json ? ", " : " ");
      first = false;
      if (json) *p++ = '[';
      p = put_number(p, fragment.offset);
      p = put(p, json ? ", " : ":");
      p = put_number(p, fragment.length);
      if (json) *p++ = ']';
    }
    if (json) *p++ = ']';
  }
  number("file_position", position != nullptr ? position->file_position : std::nullopt);
  text("crc", position != nullptr ? std::optional<std::string_view>(position->checksum_ok ? "ok" : "bad")
                                  : std::nullopt);
  size_ = static_cast<std::size_t>(p - buffer_.get());
}

void RecordExporter::append(std::string_view text) {
  put(reserve(text.size()), text);
  size_ += text.size();
}

void RecordExporter::write_record(const RecordView& record, const RecordStatus* status) {
  if (error_ || !admitted_.admits(record.state)) return;
  const bool json = format_ == ExportFormat::Jsonl;
  if (!record_start_.empty()) append(record_start_);
  write_field(record.key);
  append(json ? ", \"user_key\": " : ",");
  write_field(user_key_of(record.key, record.file_type));
  append(json ? ", \"value\": " : ",");
  write_field(record.value);
  write_tail(record, status);
  ++records_;
  if (size_ >= chunk_size_) flush();
}

std::expected<void, WriteError> RecordExporter::finish() {
  flush();
  if (error_) return std::unexpected(*error_);
  return {};
}

}  // namespace vostrel
