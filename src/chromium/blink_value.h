#pragma once
// Blink's SerializedScriptValue: the envelope Blink writes around a V8
// serialized value, and Blink's own host objects inside it.
//
//   FF <Blink version varint>          the outer envelope, from version 16 on
//   FE <offset u64 BE> <size u32 BE>   from version 21 on: where a trailer sits
//                                      (it lists interfaces the value needs;
//                                      nothing of the value itself)
//   FF <V8 version varint> <value>     V8's own header and the value
// Before version 16 there is one header, shared by Blink and V8.
//
// Blink's host objects follow V8's host-object tag `\`: `i` <index> a Blob and
// `e` <index> a File, each an index into the value's list of external objects
// (for IndexedDB: the blob entry stored next to the record), `L` <count>
// <indices> a FileList, and `b` <uuid> <type> <size> a Blob by UUID.

#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace vostrel::chromium {

namespace v8 {
class Reader;
}

// Takes each value append_script_value decodes on this thread while it is
// set, in place of the value's JSON text: a caller that builds the values in
// another form. The value is still walked as its JSON is written (its
// strings and integer arrays counted, not written; a value that then fails is
// written whole), so that a value that cannot be written fails as it always
// does.
class ScriptValueSink {
 public:
  // The value just written is reader's; appends what stands for it in `out`.
  virtual void take(v8::Reader& reader, std::string& out) = 0;

 protected:
  ~ScriptValueSink() = default;
};

// Sets this thread's sink (nullptr for none); returns the one it replaces.
ScriptValueSink* set_script_value_sink(ScriptValueSink* sink) noexcept;

// Appends the JSON form of a SerializedScriptValue (Blink's envelope, then V8's
// header and one value). externals[i] is the JSON text of the i-th external
// object's description (a JSON object, e.g. {"path": "...", "size": 3, ...})
// that a Blob/File host object at index i resolves to; an index outside
// externals is written as {"index": i}. On failure returns the reason and
// leaves `out` exactly as it was on entry.
[[nodiscard]] std::expected<void, std::string> append_script_value(
    std::string& out, std::string_view data, std::span<const std::string> externals);

}  // namespace vostrel::chromium
