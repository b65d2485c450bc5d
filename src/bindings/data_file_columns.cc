// data_file_columns(path, /): the records of one data file as columns.
// partition_columns(paths, allocate, /): the records of several data files in
// turn as one set of columns, keys and values moved into the caller's arrays.
//
// A frame of records (pandas, Dask) wants a column per field, not an object per
// record; building the columns here costs one bytes object per key, user key
// and value and nothing per fixed field, where going through Record objects
// costs a Record and nine attribute reads per record. It also lets a worker
// read one data file of a directory without opening the others, so a
// directory's files can be read apart, each in bounded memory.
//
// A frame's object column is an array of object pointers. Handing it a list
// would cost a list per column and a copy of every pointer out of it; instead,
// once the record count is known, partition_columns asks the caller for three
// arrays of that length and moves its new references straight into their
// buffers (format "O": one owned PyObject* per item, as numpy exports an
// object array), releasing what each slot held.
//
// Each file is opened exactly as the directory reader opens each data file
// (open_one_data_file), so a directory's records are the union of its data files'
// columns.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "bindings.h"
#include "format/file_name.h"
#include "format/internal_key.h"
#include "raw_level_db.h"  // raise_conversion

namespace vostrel::bindings {
namespace {

PyObject* bytes_of(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* bytearray_of(std::string_view bytes) {
  return PyByteArray_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
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
  // Moves the items into a writable one-dimensional buffer of exactly as many
  // object pointers, releasing what it held; false with an error set when the
  // buffer is not that.
  bool move_into(PyObject* target, const char* name) {
    Py_buffer view;
    if (PyObject_GetBuffer(target, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) != 0)
      return false;
    const bool fits = view.ndim == 1 && view.itemsize == static_cast<Py_ssize_t>(sizeof(PyObject*)) &&
                      view.format != nullptr && std::strcmp(view.format, "O") == 0 &&
                      view.shape[0] == static_cast<Py_ssize_t>(items_.size());
    if (!fits) {
      PyBuffer_Release(&view);
      PyErr_Format(PyExc_ValueError, "%s: need a writable array of %zd objects", name,
                   static_cast<Py_ssize_t>(items_.size()));
      return false;
    }
    auto** slots = static_cast<PyObject**>(view.buf);
    for (std::size_t i = 0; i < items_.size(); ++i) {
      PyObject* held = slots[i];
      slots[i] = items_[i];
      Py_XDECREF(held);  // after the store: whatever its release runs sees the new item
    }
    items_.clear();
    PyBuffer_Release(&view);
    return true;
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

  // Ends the records of one file: its count is what was added since.
  void end_file() {
    counts_.push_back(keys_.size() - counted_);
    counted_ = keys_.size();
  }

  // The columns of the files read, in turn: key, user_key and value moved into
  // the three arrays allocate(count) returns, the rest as a dict of counts
  // (records per file), origin_file (one str per file) and the packed fixed
  // fields. nullptr with an error set.
  PyObject* take_into(PyObject* allocate, const std::vector<std::string>& paths) {
    if (failed_) return nullptr;
    PyObject* arrays = PyObject_CallFunction(allocate, "n", static_cast<Py_ssize_t>(keys_.size()));
    if (arrays == nullptr) return nullptr;
    PyObject* three = PySequence_Fast(arrays, "allocate() must return three arrays");
    Py_DECREF(arrays);
    if (three == nullptr) return nullptr;
    bool ok = PySequence_Fast_GET_SIZE(three) == 3;
    if (!ok) PyErr_SetString(PyExc_ValueError, "allocate() must return three arrays");
    ok = ok && keys_.move_into(PySequence_Fast_GET_ITEM(three, 0), "key") &&
         user_keys_.move_into(PySequence_Fast_GET_ITEM(three, 1), "user_key") &&
         values_.move_into(PySequence_Fast_GET_ITEM(three, 2), "value");
    Py_DECREF(three);
    if (!ok) return nullptr;
    PyObject* result = PyDict_New();
    if (result == nullptr) return nullptr;
    if (!set(result, "counts", list_of(counts_, PyLong_FromSize_t)) ||
        !set(result, "origin_file", list_of(paths, origin_of)) ||
        !set_fixed_fields<bytearray_of>(result)) {
      Py_CLEAR(result);
    }
    return result;
  }

  // The columns as a dict, or nullptr with an error set.
  PyObject* take(const std::string& path) {
    if (failed_) return nullptr;
    PyObject* result = PyDict_New();
    if (result == nullptr) return nullptr;
    PyObject* origin = origin_of(path);
    // origin first: set() takes it whatever happens after.
    const bool ok = set(result, "origin_file", origin) && set(result, "key", keys_.take()) && set(result, "user_key", user_keys_.take()) &&
                    set(result, "value", values_.take()) && set_fixed_fields(result);
    if (!ok) Py_CLEAR(result);
    return result;
  }

 private:
  static PyObject* origin_of(const std::string& path) {
    return PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace");
  }

  // As bytes, or as bytearray: a frame's columns viewing a bytearray stay
  // writable, as frames built from fresh arrays are.
  template <PyObject* (*Make)(std::string_view) = bytes_of>
  bool set_fixed_fields(PyObject* dict) const {
    return set(dict, "seq", Make(seqs_)) && set(dict, "state", Make(states_)) &&
           set(dict, "file_type", Make(file_types_)) && set(dict, "offset", Make(offsets_)) &&
           set(dict, "was_compressed", Make(compressed_));
  }

  // A list of make(item) for each item; nullptr with an error set.
  template <typename Item, typename Make>
  static PyObject* list_of(const std::vector<Item>& items, Make make) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    for (std::size_t i = 0; list != nullptr && i < items.size(); ++i) {
      PyObject* made = make(items[i]);
      if (made == nullptr) Py_CLEAR(list);
      else PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), made);
    }
    return list;
  }

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
  std::vector<std::size_t> counts_;
  std::size_t counted_ = 0;
  bool failed_ = false;
};

}  // namespace

namespace {

// The path and type of a data file named by path_arg, by the directory
// reader's rule for names; nullopt with an error set when it names none.
std::optional<std::pair<std::string, FileType>> data_file_path(PyObject* path_arg) {
  if (!PyUnicode_Check(path_arg)) {
    raise_conversion("path", path_arg, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path_arg, &size);
  if (utf8 == nullptr) return std::nullopt;  // lone surrogates: the codec's UnicodeEncodeError
  std::string path(utf8, static_cast<std::size_t>(size));
  // The type is what the file's name says, by the directory reader's rule.
  const auto named = path.find('\0') == std::string::npos ? parse_entry_name(final_component(path))
                                                          : std::nullopt;
  if (!named || named->kind != EntryKind::DataFile) {
    PyErr_Format(PyExc_ValueError, "Not a data file's name: %R", path_arg);
    return std::nullopt;
  }
  return std::pair{std::move(path), named->file_type};
}

// A file that fails to open has no records, as in the directory reader.
void read_into(ColumnSink& sink, const std::string& path, FileType type, DecodeScratch& scratch) {
  if (auto file = open_one_data_file(path, type, FileAccess::CopySmall)) {
    visit_data_file(*file, sink, scratch);
  }
  sink.end_file();
}

}  // namespace

PyObject* data_file_columns(PyObject*, PyObject* path_arg) {
  try {
    const auto named = data_file_path(path_arg);
    if (!named) return nullptr;
    ColumnSink sink;
    DecodeScratch scratch;
    read_into(sink, named->first, named->second, scratch);
    return sink.take(named->first);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* partition_columns(PyObject*, PyObject* args) {
  PyObject* paths_arg = nullptr;
  PyObject* allocate = nullptr;
  if (!PyArg_ParseTuple(args, "OO:partition_columns", &paths_arg, &allocate)) return nullptr;
  if (!PyCallable_Check(allocate)) {
    PyErr_SetString(PyExc_TypeError, "allocate must be callable");
    return nullptr;
  }
  try {
    // Every name checked before any file is read.
    std::vector<std::pair<std::string, FileType>> files;
    PyObject* iterator = PyObject_GetIter(paths_arg);
    if (iterator == nullptr) return nullptr;
    while (PyObject* item = PyIter_Next(iterator)) {
      auto named = data_file_path(item);
      Py_DECREF(item);
      if (!named) break;
      files.push_back(std::move(*named));
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred()) return nullptr;
    ColumnSink sink;
    DecodeScratch scratch;
    // A pending Ctrl-C ends the call between files and between blocks, with
    // the signal's exception set.
    scratch.stop = python_stop_token();
    std::vector<std::string> paths;
    paths.reserve(files.size());
    for (auto& [path, type] : files) {
      if (scratch.stop.stop_requested()) return nullptr;
      read_into(sink, path, type, scratch);
      paths.push_back(std::move(path));
    }
    if (scratch.stop.stopped()) return nullptr;
    return sink.take_into(allocate, paths);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
