#pragma once
// A LevelDB store of no kind the decoder knows, written so that a whole
// profile's stores read as one: each record a line
//
//   {"kind": "leveldb", "type": "record", "key": <key>, "value": <value>,
//    <provenance>}
//
// the key in the escaped form of `vostrel dump` (printable UTF-8 as itself, a
// backslash doubled, any other byte \xNN); the value as the JSON it holds when
// the whole value is one JSON document (json_document.h), else in the escaped
// form too; a deleted record's value null.

#include <string>

#include "format/record.h"

namespace vostrel::chromium {

struct PlainStoreDecoder {
  void learn(const RecordView&) {}
  void append_entry(std::string& out, const RecordView& record);
};

}  // namespace vostrel::chromium
