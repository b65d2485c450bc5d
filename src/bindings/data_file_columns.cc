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

#include "bindings.h"
#include "file_name.h"
#include "internal_key.h"
#include "raw_level_db.h"  // raise_conversion

namespace vostrel::bindings {
namespace {

PyObject* bytes_of(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// Appends a new reference to list, dropping it; false with an error set on failure.
bool append_new(PyObject* list, PyObject* item) {
  if (item == nullptr) return false;
  const int appended = PyList_Append(list, item);
  Py_DECREF(item);
  return appended == 0;
}

class ColumnSink {
 public:
  ColumnSink() : keys_(PyList_New(0)), user_keys_(PyList_New(0)), values_(PyList_New(0)) {
    failed_ = keys_ == nullptr || user_keys_ == nullptr || values_ == nullptr;
  }
  ColumnSink(const ColumnSink&) = delete;
  ColumnSink& operator=(const ColumnSink&) = delete;
  ~ColumnSink() {
    Py_XDECREF(keys_);
    Py_XDECREF(user_keys_);
    Py_XDECREF(values_);
  }

  void operator()(const RecordView& view) {
    if (failed_) return;  // drains the walk; the error is already set
    PyObject* key = bytes_of(view.key);
    if (key == nullptr || PyList_Append(keys_, key) != 0) {
      Py_XDECREF(key);
      failed_ = true;
      return;
    }
    // A log record's user key is its key: the same object serves both.
    const std::string_view user_key = user_key_of(view.key, view.file_type);
    PyObject* user = user_key.size() == view.key.size() ? key : bytes_of(user_key);
    const bool user_ok = user != nullptr && PyList_Append(user_keys_, user) == 0;
    if (user != key) Py_XDECREF(user);
    Py_DECREF(key);
    if (!user_ok || !append_new(values_, bytes_of(view.value))) {
      failed_ = true;
      return;
    }
    try {
      append_u64(seqs_, view.seq);
      append_u64(offsets_, view.offset);
      states_.push_back(static_cast<char>(view.state));
      file_types_.push_back(static_cast<char>(view.file_type));
      compressed_.push_back(view.was_compressed ? 1 : 0);
    } catch (...) {
      raise_from_current_exception();
      failed_ = true;
    }
  }

  // The columns as a dict, or nullptr with an error set.
  PyObject* take(const std::string& path) {
    if (failed_) return nullptr;
    PyObject* result = PyDict_New();
    if (result == nullptr) return nullptr;
    PyObject* origin = PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()),
                                            "replace");
    const bool ok = set(result, "key", Py_NewRef(keys_)) &&
                    set(result, "user_key", Py_NewRef(user_keys_)) &&
                    set(result, "value", Py_NewRef(values_)) && set(result, "seq", bytes_of(seqs_)) &&
                    set(result, "state", bytes_of(states_)) &&
                    set(result, "file_type", bytes_of(file_types_)) &&
                    set(result, "origin_file", origin) &&
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

  PyObject* keys_;
  PyObject* user_keys_;
  PyObject* values_;
  std::string seqs_, offsets_, states_, file_types_, compressed_;
  bool failed_;
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
