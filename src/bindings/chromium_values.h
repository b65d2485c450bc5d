#pragma once
// Chromium entries as Python values, built straight from what the decoders
// hold: the same values vostrel.chromium.common.from_json gives of the
// entry's JSON line, without reading that line back as JSON text.
//
// A decoded JavaScript value (chromium/blink_value.h) is built from the V8
// reader's nodes while the entry is written (the interpreter lock held), and
// its place in the line holds only "\x01<n>\x01", which no JSON text holds
// outside a string: the n-th value built. The rest of the line (names,
// keys, provenance, JSON documents) is then read into a dict by a reader of
// the lines' own JSON; the fields that hold "$"-forms other than a V8 value
// (an IndexedDB key's dates and binaries, a document's {"$object": ...})
// are turned into Python values by from_json itself.

#include "bindings.h"

#include <string>
#include <string_view>
#include <vector>

#include "chromium/blink_value.h"
#include "chromium/v8_value.h"

namespace vostrel::bindings {

class ChromiumValues final : public chromium::ScriptValueSink {
 public:
  ChromiumValues() = default;
  ChromiumValues(const ChromiumValues&) = delete;
  ChromiumValues& operator=(const ChromiumValues&) = delete;
  ~ChromiumValues();

  // Takes the Python types values are built as from `types` (a dict by
  // name, vostrel.chromium.common.VALUE_TYPES); false with a Python error
  // when one is missing.
  bool load(PyObject* types);

  void take(chromium::v8::Reader& reader, std::string& out) override;

  // Whether building a value raised; the error is then pending here until
  // restore_error() sets it again.
  [[nodiscard]] bool failed() const noexcept { return error_type_ != nullptr; }
  void restore_error();
  // Forgets the values built so far (their lines are all read).
  // (The str objects remembered stay until the iterator goes.)
  void clear();

  // The entry dict of one line; nullptr with a Python error.
  PyObject* entry(std::string_view line);

 private:
  friend class EntryReader;
  using NodeId = chromium::v8::NodeId;

  PyObject* build(NodeId id);
  PyObject* build_shared(NodeId id, const chromium::v8::Node& node);
  PyObject* build_string(const chromium::v8::Node& node);
  PyObject* build_view(NodeId id, const chromium::v8::Node& node);
  PyObject* build_error(const chromium::v8::Node& node);
  PyObject* build_date(double ms);
  PyObject* number(double value);
  PyObject* plain_json(std::string_view text);  // json.loads of text the writer wrote
  // The str of a JSON string's content without escapes; a short one is
  // taken from the strings met before (names, origins, paths repeat on
  // every entry).
  PyObject* text(std::string_view json);
  // from_json of a "$"-led object of a line (its members read plainly): the
  // usual forms here, any other by from_json itself.
  PyObject* revive_form(PyObject* form);
  PyObject* revive(PyObject* value);  // from_json of a plainly read value
  PyObject* revive_members(PyObject* dict);  // of a dict, its members (in place)

  // The str objects remembered are shared by every iterator (the
  // interpreter lock held): names, kinds, types, origins and file paths
  // repeat from store to store as from entry to entry. A str is made of
  // its text alone, so one remembered can stand for no other.
  static constexpr std::size_t kRemembered = 1024;  // slots, a power of two
  static constexpr std::size_t kLongestRemembered = 160;
  // Per member of the last entry read, by its place: its name and, when it
  // is a string, its value (entries repeat most of both, in order). Shared
  // by every iterator as the remembered str objects are (each is taken only
  // where the text at its place is its own).
  struct LastMember {
    std::string name;
    PyObject* key = nullptr;
    std::string text;
    PyObject* value = nullptr;
  };
  static constexpr std::size_t kLastMembers = 32;
  static LastMember* last_members();  // kLastMembers of them
  // The shape of a run of entries of one kind and type (told by the start
  // of their lines): their names in order, each with its value where that
  // holds nothing (a str, number, bool or None; None otherwise). An entry
  // of the run starts as a copy of it: a copy is one block copied where
  // building a dict is a lookup and an insertion per member, and most
  // values repeat.
  struct Shape {
    std::string head;
    std::string last_head;  // of the last entry read
    PyObject* dict = nullptr;
    std::vector<std::pair<PyObject*, PyObject*>> members;  // dict's, in order (borrowed)
  };
  Shape shape_;
  static std::string_view shape_head(std::string_view line);
  // These two: false with a Python error.
  bool reshape(std::string_view head, PyObject* entry);  // the shape of entry
  bool refresh(PyObject* entry);  // the shape's texts, from an entry of its names

  // The types (strong references).
  PyObject* undefined_ = nullptr;
  PyObject* big_int_ = nullptr;
  PyObject* js_date_ = nullptr;
  PyObject* array_buffer_ = nullptr;
  PyObject* reg_exp_ = nullptr;
  PyObject* js_map_ = nullptr;
  PyObject* js_set_ = nullptr;
  PyObject* js_array_ = nullptr;
  PyObject* sparse_array_ = nullptr;
  PyObject* typed_array_ = nullptr;
  PyObject* js_error_ = nullptr;
  PyObject* from_json_ = nullptr;
  PyObject* date_ = nullptr;  // the datetime of an ISO time ending in Z
  PyObject* b64decode_ = nullptr;
  PyObject* nan_ = nullptr;
  PyObject* infinity_ = nullptr;
  PyObject* minus_infinity_ = nullptr;
  PyObject* view_names_[13] = {};
  PyObject* properties_name_ = nullptr;

  chromium::v8::Reader* reader_ = nullptr;
  // Per node of the value being built: its object once begun (borrowed: the
  // value holds it) and whether it is complete.
  std::vector<PyObject*> built_;
  std::vector<std::uint8_t> state_;
  std::string scratch_;
  std::vector<PyObject*> values_;  // built values, by their number in the lines
  PyObject* error_type_ = nullptr;
  PyObject* error_value_ = nullptr;
  PyObject* error_traceback_ = nullptr;
};

}  // namespace vostrel::bindings
