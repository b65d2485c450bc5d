#include "chromium/plain_store.h"

#include <string_view>

#include "chromium/entry.h"
#include "chromium/json_document.h"
#include "chromium/store_kind.h"
#include "export/byte_encoding.h"
#include "format/internal_key.h"

namespace vostrel::chromium {
namespace {

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

}  // namespace

void PlainStoreDecoder::append_entry(std::string& out, const RecordView& record) {
  begin_entry(out, to_string(StoreKind::LevelDb), "record");
  append_field_name(out, "key");
  append_escaped(out, user_key_of(record.key, record.file_type));
  append_field_name(out, "value");
  if (record.state == KeyState::Deleted) {
    out += "null";
  } else if (!append_json_document(out, record.value)) {
    append_escaped(out, record.value);
  }
  finish_entry(out, record);
}

}  // namespace vostrel::chromium
