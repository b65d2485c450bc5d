#include "chromium/entry.h"

#include "format/internal_key.h"
#include "export/json_text.h"

namespace vostrel::chromium {

void begin_entry(std::string& out, std::string_view kind, std::string_view type) {
  out += "{\"kind\": ";
  json::append_text(out, kind);
  out += ", \"type\": ";
  json::append_text(out, type);
}

void append_field_name(std::string& out, std::string_view name) {
  out += ", ";
  json::append_text(out, name);
  out += ": ";
}

void append_fallback(std::string& out, const RecordView& record, std::string_view reason) {
  out += ", \"error\": ";
  json::append_utf8_replace(out, reason);
  out += ", \"raw_key\": ";
  json::append_hex(out, user_key_of(record.key, record.file_type));
  out += ", \"raw_value\": ";
  json::append_hex(out, record.value);
}

void finish_entry(std::string& out, const RecordView& record) {
  out += ", \"seq\": ";
  json::append_uint(out, record.seq);
  out += ", \"state\": \"";
  out += state_name(record.state);
  out += "\", \"origin_file\": ";
  const std::string* path = record.origin_file != nullptr ? record.origin_file->get() : nullptr;
  json::append_utf8_replace(out, path != nullptr ? std::string_view(*path) : std::string_view());
  out += ", \"offset\": ";
  json::append_uint(out, record.offset);
  out += "}\n";
}

void append_undecoded(std::string& out, const RecordView& record, std::string_view kind,
                      std::string_view reason) {
  begin_entry(out, kind, "undecoded");
  append_fallback(out, record, reason);
  finish_entry(out, record);
}

}  // namespace vostrel::chromium
