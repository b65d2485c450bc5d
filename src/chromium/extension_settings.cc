#include "chromium/extension_settings.h"

#include "base/path.h"
#include "base/utf8.h"
#include "chromium/entry.h"
#include "chromium/json_document.h"
#include "chromium/store_kind.h"
#include "export/json_text.h"
#include "format/internal_key.h"

namespace vostrel::chromium {

ExtensionSettingsDecoder::ExtensionSettingsDecoder(std::string_view directory) {
  const std::string path = normal_path(directory);
  append_field_name(fields_, "area");
  if (const auto area = extension_settings_area(path)) {
    json::append_text(fields_, *area);
  } else {
    fields_ += "null";  // said by --kind of a directory named otherwise
  }
  append_field_name(fields_, "extension_id");
  json::append_utf8_surrogateescape(fields_, final_component(path));
}

void ExtensionSettingsDecoder::append_entry(std::string& out, const RecordView& record) {
  const std::string_view key = user_key_of(record.key, record.file_type);
  begin_entry(out, to_string(StoreKind::ExtensionSettings), "setting");
  out += fields_;
  append_field_name(out, "key");
  json::append_utf8_surrogateescape(out, key);
  append_field_name(out, "value");
  const char* error = nullptr;
  if (record.state == KeyState::Deleted) {
    out += "null";
  } else if (!append_json_document(out, record.value)) {
    out += "null";
    error = "value is not JSON text";
  }
  if (error == nullptr && !is_valid_utf8(key)) error = "key is not UTF-8 text";
  if (error != nullptr) append_fallback(out, record, error);
  finish_entry(out, record);
}

}  // namespace vostrel::chromium
