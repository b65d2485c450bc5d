#include "chromium/local_storage.h"

#include <vector>

#include "chromium/ascii_text.h"
#include "chromium/entry.h"
#include "chromium/origin.h"
#include "format/internal_key.h"
#include "chromium/indexeddb_key.h"
#include "chromium/protobuf.h"
#include "chromium/windows_time.h"
#include "export/json_text.h"

namespace vostrel::chromium {
namespace {

constexpr std::string_view kKind = "localstorage";

// A DOM storage string: its format byte, then the characters.
Decoded<void> append_text(std::string& out, std::string_view data) {
  if (data.empty()) return std::unexpected("empty string without its format byte");
  const auto form = static_cast<std::uint8_t>(data[0]);
  if (form == 1) {
    json::append_latin1(out, data.substr(1));
    return {};
  }
  if (form == 0) {
    if (data.size() % 2 == 0) return std::unexpected("UTF-16 text of odd length");
    json::append_utf16(out, data.substr(1), false);
    return {};
  }
  return std::unexpected("unknown string format byte " + std::to_string(form));
}

// A protobuf field's value as the entry shows it: a varint or fixed field its
// integer, a length-delimited one {"$bytes": base64}; a repeated field a list.
void append_field_value(std::string& out, const std::vector<ProtobufField>& fields, Wide number) {
  std::size_t count = 0;
  for (const auto& field : fields) count += field.number == number;
  if (count == 0) {
    out += "null";
    return;
  }
  if (count > 1) out.push_back('[');
  bool first = true;
  for (const auto& field : fields) {
    if (field.number != number) continue;
    if (!first) out += ", ";
    first = false;
    if (field.is_bytes) {
      out += "{\"$bytes\": ";
      json::append_base64(out, field.bytes);
      out.push_back('}');
    } else {
      append_wide(out, field.integer);
    }
  }
  if (count > 1) out.push_back(']');
}

// A time field: the moment when the field is one integer that is one, else null.
void append_time_field(std::string& out, const std::vector<ProtobufField>& fields, Wide number) {
  const ProtobufField* found = nullptr;
  std::size_t count = 0;
  for (const auto& field : fields) {
    if (field.number == number) {
      found = &field;
      ++count;
    }
  }
  if (count != 1 || found->is_bytes || !append_windows_time(out, static_cast<WideSigned>(found->integer))) {
    out += "null";
  }
}

Decoded<void> append_ascii(std::string& out, std::string_view data) {
  if (auto ascii = check_ascii(data); !ascii) return ascii;
  json::append_text(out, data);
  return {};
}

Decoded<void> append_decoded(std::string& out, const RecordView& record, std::vector<ProtobufField>& fields) {
  const std::string_view key = user_key_of(record.key, record.file_type);
  const std::string_view value = record.value;
  const bool deleted = record.state == KeyState::Deleted;
  if (key.starts_with('_')) {
    const std::size_t split = key.find('\0');
    if (split == std::string_view::npos) return std::unexpected("item key without the origin separator");
    begin_entry(out, kKind, "item");
    append_origin_fields(out, key.substr(1, split - 1));
    append_field_name(out, "key");
    if (auto text = append_text(out, key.substr(split + 1)); !text) return text;
    append_field_name(out, "value");
    if (deleted) {
      out += "null";
      return {};
    }
    return append_text(out, value);
  }
  const bool access = key.starts_with("METAACCESS:");
  if (key.starts_with("META:") || access) {
    begin_entry(out, kKind, access ? "meta_access" : "meta");
    append_origin_fields(out, key.substr(access ? 11 : 5));
    append_field_name(out, "value");
    if (deleted) {
      out += "null";
      return {};
    }
    if (auto read = read_protobuf_fields(value, fields); !read) return read;
    if (access) {
      out += "{\"last_accessed\": ";
      append_time_field(out, fields, 1);
    } else {
      out += "{\"last_modified\": ";
      append_time_field(out, fields, 1);
      out += ", \"size_bytes\": ";
      append_field_value(out, fields, 2);
    }
    out.push_back('}');
    return {};
  }
  if (key == "VERSION") {
    begin_entry(out, kKind, "version");
    append_field_name(out, "value");
    if (deleted) {
      out += "null";
      return {};
    }
    return append_ascii(out, value);
  }
  return std::unexpected("not a Local Storage key");
}

}  // namespace

void append_local_storage_entry(std::string& out, const RecordView& record) {
  thread_local std::vector<ProtobufField> fields;
  const std::size_t mark = out.size();
  if (auto decoded = append_decoded(out, record, fields); !decoded) {
    out.resize(mark);
    append_undecoded(out, record, kKind, decoded.error());
    return;
  }
  finish_entry(out, record);
}

}  // namespace vostrel::chromium
