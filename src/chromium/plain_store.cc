#include "chromium/plain_store.h"

#include <string_view>

#include "chromium/entry.h"
#include "chromium/json_document.h"
#include "chromium/store_kind.h"
#include "export/byte_encoding.h"
#include "format/internal_key.h"

namespace vostrel::chromium {

// The escaped form of bytes as a JSON string, written in place.
void append_escaped(std::string& out, std::string_view bytes) {
  const std::size_t start = out.size();
  out.resize(start + 2 + max_encoded_size(ByteEncoding::Escaped, bytes.size()));
  char* const begin = out.data() + start;
  *begin = '"';
  char* end = write_encoded(begin + 1, bytes, ByteEncoding::Escaped, FieldQuoting::Json);
  *end++ = '"';
  out.resize(static_cast<std::size_t>(end - out.data()));
}

void append_unknown_value(std::string& out, std::string_view value, ProtobufJson& protobuf) {
  if (append_json_document(out, value)) return;
  if (!is_printable_text(value)) {
    const std::size_t mark = out.size();
    out += "{\"$protobuf\": ";
    if (protobuf.append_typed(out, value)) {
      out.push_back('}');
      return;
    }
    out.resize(mark);
  }
  append_escaped(out, value);
}

void PlainStoreDecoder::append_entry(std::string& out, const RecordView& record) {
  begin_entry(out, to_string(StoreKind::LevelDb), "record");
  append_field_name(out, "key");
  append_escaped(out, user_key_of(record.key, record.file_type));
  append_field_name(out, "value");
  if (record.state == KeyState::Deleted) {
    out += "null";
  } else {
    append_unknown_value(out, record.value, protobuf);
  }
  finish_entry(out, record);
}

}  // namespace vostrel::chromium
