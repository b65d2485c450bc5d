#pragma once
// An extension's chrome.storage area (`Local Extension Settings/<id>`, `Sync
// Extension Settings/<id>`, `Managed Extension Settings/<id>`), as Chromium's
// value store writes it: one record per setting, the key the setting's name
// as UTF-8 text, the value the setting's value as JSON text
// (base::JSONWriter).
//
//   {"kind": "extension_settings", "type": "setting", "area": "local",
//    "extension_id": "<id>", "key": "<name>", "value": <JSON>, <provenance>}
//
// A deleted setting's value is null. A key that is not UTF-8, or a value that
// is not JSON, keeps the record's raw bytes with the reason (the key then
// written with each invalid byte as a lone surrogate escape).

#include <string>
#include <string_view>

#include "format/record.h"

namespace vostrel::chromium {

class ExtensionSettingsDecoder {
 public:
  // The store's directory names the extension and the area.
  explicit ExtensionSettingsDecoder(std::string_view directory);

  void learn(const RecordView&) {}
  void append_entry(std::string& out, const RecordView& record);

 private:
  std::string fields_;  // , "area": ..., "extension_id": ...
};

}  // namespace vostrel::chromium
