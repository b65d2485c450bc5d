#pragma once
// A LevelDB store of no kind the decoder knows, written so that a whole
// profile's stores read as one: each record a line
//
//   {"kind": "leveldb", "type": "record", "key": <key>, "value": <value>,
//    <provenance>}
//
// the key in the escaped form of `vostrel dump` (printable UTF-8 as itself, a
// backslash doubled, any other byte \xNN); the value as the JSON it holds when
// the whole value is one JSON document (json_document.h), else, when it is
// not printable text and reads whole as a protocol buffer message by the
// strict rules (protobuf.h), {"$protobuf": <the message's typed form>}, else
// in the escaped form too; a deleted record's value null. Printable text is
// never taken for a message: short text often happens to parse as one.

#include <string>
#include <string_view>

#include "chromium/protobuf.h"
#include "format/record.h"

namespace vostrel::chromium {

// A value of unknown form as the entry shows it (the rule above); the
// service worker store's user data uses it too.
void append_unknown_value(std::string& out, std::string_view value, ProtobufJson& protobuf);

// A key of unknown form: the escaped form as a JSON string.
void append_escaped(std::string& out, std::string_view bytes);

struct PlainStoreDecoder {
  void learn(const RecordView&) {}
  void append_entry(std::string& out, const RecordView& record);
  ProtobufJson protobuf;
};

}  // namespace vostrel::chromium
