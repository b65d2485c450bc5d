// data_file_columns(path, /): the records of one data file as columns.
//
// A frame of records (pandas, Dask) wants a column per field, not an object per
// record; building the columns here costs one bytes object per key, user key
// and value and nothing per fixed field, where going through Record objects
// costs a Record and nine attribute reads per record. It also lets a worker
// read one data file of a directory without opening the others, so a
// directory's files can be read apart, each in bounded memory.
//
// The file is opened exactly as the directory reader opens each data file
// (open_one_data_file), so a directory's records are the union of its data files'
// columns.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bindings.h"
#include "file_name.h"
#include "internal_key.h"
#include "raw_level_db.h"  // raise_conversion

namespace vostrel::bindings {
namespace {

PyObject* bytes_of(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// New references, released unless handed over as a list.
class ObjectColumn {
 public:
  ObjectColumn() = default;
  ObjectColumn(const ObjectColumn&) = delete;
  ObjectColumn& operator=(const ObjectColumn&) = delete;
  ~ObjectColumn() {
    for (PyObject* item : items_) Py_DECREF(item);
  }
  // Steals item. Throws (std::bad_alloc) with item released.
  void push(PyObject* item) {
    try {
      items_.push_back(item);
    } catch (...) {
      Py_DECREF(item);
      throw;
    }
  }
  // A list of exactly the items, which it takes; nullptr with an error set.
  // Built once at the end, the list never grows item by item.
  PyObject* take() {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items_.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < items_.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items_[i]);
    items_.clear();
    return list;
  }
  [[nodiscard]] std::size_t size() const noexcept { return items_.size(); }

 private:
  std::vector<PyObject*> items_;
};

class ColumnSink {
 public:
  ColumnSink() = default;
  ColumnSink(const ColumnSink&) = delete;
  ColumnSink& operator=(const ColumnSink&) = delete;

  void operator()(const RecordView& view) {
    if (failed_) return;  // drains the walk; the error is already set
    try {
      PyObject* key = bytes_of(view.key);
      if (key == nullptr) return fail();
      keys_.push(key);
      // A log record's user key is its key: the same object serves both.
      const std::string_view user_key = user_key_of(view.key, view.file_type);
      PyObject* user = user_key.size() == view.key.size() ? Py_NewRef(key) : bytes_of(user_key);
      if (user == nullptr) return fail();
      user_keys_.push(user);
      PyObject* value = bytes_of(view.value);
      if (value == nullptr) return fail();
      values_.push(value);
      append_u64(seqs_, view.seq);
      append_u64(offsets_, view.offset);
      states_.push_back(static_cast<char>(view.state));
      file_types_.push_back(static_cast<char>(view.file_type));
      compressed_.push_back(view.was_compressed ? 1 : 0);
    } catch (...) {
      raise_from_current_exception();
      fail();
    }
  }

  // The columns as a dict, or nullptr with an error set.
  PyObject* take(const std::string& path) {
    if (failed_) return nullptr;
    PyObject* result = PyDict_New();
    if (result == nullptr) return nullptr;
    PyObject* origin = PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()),
                                            "replace");
    // origin first: set() takes it whatever happens after.
    const bool ok = set(result, "origin_file", origin) && set(result, "key", keys_.take()) && set(result, "user_key", user_keys_.take()) &&
                    set(result, "value", values_.take()) && set(result, "seq", bytes_of(seqs_)) &&
                    set(result, "state", bytes_of(states_)) &&
                    set(result, "file_type", bytes_of(file_types_)) &&
                    set(result, "offset", bytes_of(offsets_)) &&
                    set(result, "was_compressed", bytes_of(compressed_));
    if (!ok) Py_CLEAR(result);
    return result;
  }

 private:
  static void append_u64(std::string& column, std::uint64_t value) {
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);  // native byte order, as numpy reads it
    column.append(bytes, sizeof bytes);
  }

  // Steals value; false with an error set on failure.
  static bool set(PyObject* dict, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    const int stored = PyDict_SetItemString(dict, name, value);
    Py_DECREF(value);
    return stored == 0;
  }

  void fail() { failed_ = true; }

  ObjectColumn keys_, user_keys_, values_;
  std::string seqs_, offsets_, states_, file_types_, compressed_;
  bool failed_ = false;
};

}  // namespace

PyObject* data_file_columns(PyObject*, PyObject* path_arg) {
  if (!PyUnicode_Check(path_arg)) return raise_conversion("path", path_arg, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path_arg, &size);
  if (utf8 == nullptr) return nullptr;  // lone surrogates: the codec's UnicodeEncodeError
  try {
    std::string path(utf8, static_cast<std::size_t>(size));
    // The type is what the file's name says, by the directory reader's rule.
    const auto named = path.find('\0') == std::string::npos
                           ? parse_entry_name(final_component(path))
                           : std::nullopt;
    if (!named || named->kind != EntryKind::DataFile) {
      PyErr_Format(PyExc_ValueError, "Not a data file's name: %R", path_arg);
      return nullptr;
    }
    ColumnSink sink;
    if (auto file = open_one_data_file(path, named->file_type)) {
      DecodeScratch scratch;
      std::visit([&](const auto& opened) { opened.visit_records(sink, scratch); }, *file);
    }
    return sink.take(path);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
