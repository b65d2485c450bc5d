#include "chromium/entry.h"

#include "format/internal_key.h"
#include "export/json_text.h"

namespace vostrel::chromium {

std::span<const std::string_view> entry_types() noexcept {
  static constexpr std::string_view kTypes[] = {
      "active_blob_journal", "blob_entry", "data_format_version", "database", "database_blob_number_generator",
      "database_free_list", "database_max_object_store_id", "database_name", "database_origin",
      "database_string_version", "database_version", "earliest_compaction", "earliest_sweep", "exists",
      "global", "has_user_data", "index", "index_field", "index_free_list", "index_key_path",
      "index_multi_entry", "index_name", "index_unique", "init_data", "item", "journal_metadata",
      "journal_scope", "journal_task", "max_database_id", "meta", "meta_access", "namespace", "next_map_id",
      "next_registration_id", "next_resource_id", "next_version_id", "object_store_auto_increment",
      "object_store_evictable", "object_store_field", "object_store_free_list", "object_store_has_key_path",
      "object_store_key_generator_current_number", "object_store_key_path", "object_store_last_version",
      "object_store_max_index_id", "object_store_name", "purgeable_resource", "record", "recovery_blob_journal",
      "registration", "registration_origin", "resource", "schema_version", "setting", "uncommitted_resource",
      "undecoded", "unique_origin", "user_data", "version",
  };
  return kTypes;
}

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

namespace {

thread_local ProvenanceMark provenance_mark;

}  // namespace

ProvenanceMark last_provenance() noexcept { return provenance_mark; }

bool is_fallback_line(std::string_view line, std::size_t provenance) noexcept {
  constexpr std::string_view kSeq = ", \"seq\": ";
  std::size_t seq = provenance;
  if (seq >= line.size() || line.compare(seq, kSeq.size(), kSeq) != 0) {
    // The provenance starts at the last ", \"seq\": " (the origin file's
    // path is a JSON string: a quote in it is escaped, so it cannot hold this
    // text). (Found by its 's': a search for the whole text costs a
    // comparison at every position.)
    seq = line.size();
    do {
      seq = line.rfind('s', seq - 1);
      if (seq == std::string_view::npos || seq < 3) return false;
    } while (line.compare(seq - 3, kSeq.size(), kSeq) != 0);
    seq -= 3;
  }
  const std::string_view head = line.substr(0, seq);
  if (!head.ends_with('"')) return false;
  // Back over the hex digits (an ordinary string value ends the walk soon).
  std::size_t open = head.size() - 1;
  while (open > 0) {
    const char c = head[open - 1];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) break;
    --open;
  }
  return open > 0 && head.substr(0, open).ends_with(", \"raw_value\": \"");
}

void finish_entry(std::string& out, const RecordView& record) {
  provenance_mark = {&out, out.size()};
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
