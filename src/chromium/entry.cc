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

bool is_fallback_line(std::string_view line) noexcept {
  // The provenance starts at the last ", \"seq\": " (the origin file's path is
  // a JSON string: a quote in it is escaped, so it cannot hold this text).
  const std::size_t seq = line.rfind(", \"seq\": ");
  if (seq == std::string_view::npos) return false;
  const std::string_view head = line.substr(0, seq);
  if (!head.ends_with('"')) return false;
  const std::size_t open = head.find_last_of('"', head.size() - 2);
  if (open == std::string_view::npos) return false;
  for (const char c : head.substr(open + 1, head.size() - open - 2)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return head.substr(0, open + 1).ends_with(", \"raw_value\": \"");
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
