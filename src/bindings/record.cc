// Python Record: one record found in a table or log file. The fixed fields and
// the key and value bytes lie together: in an allocation of their own, or, for
// records laid out by the reader's threads, in a slab shared with the others
// of their batch; origin_file is a str shared by every record of the same
// file. A Record refers to no object that could refer back to it, so it is not
// tracked by the garbage collector.

#include <cstddef>
#include <cstring>
#include <exception>
#include <utility>

#include "bindings.h"
#include "format/internal_key.h"

namespace vostrel::bindings {
namespace {

struct RecordObject {
  PyObject_VAR_HEAD  // ob_size: key_size + value_size, the bytes in `data`
  std::uint64_t seq;
  std::uint64_t offset;
  PyObject* origin_file;  // str, strong reference
  Py_ssize_t key_size;
  RecordSlab* slab;  // the memory it lies in, or nullptr: its own, from PyObject_Malloc
  KeyState state;
  FileType file_type;
  bool was_compressed;
  Recovery recovered;
  char data[1];  // key bytes, then value bytes
};

constexpr Py_ssize_t kRecordHeaderSize = offsetof(RecordObject, data);

PyTypeObject* record_class = nullptr;

RecordObject* as_record(PyObject* self) { return reinterpret_cast<RecordObject*>(self); }

std::string_view key_of(const RecordObject* r) {
  return {r->data, static_cast<std::size_t>(r->key_size)};
}
std::string_view value_of(const RecordObject* r) {
  return {r->data + r->key_size, static_cast<std::size_t>(Py_SIZE(r) - r->key_size)};
}

PyObject* bytes_of(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

void record_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  RecordObject* r = as_record(self);
  Py_XDECREF(r->origin_file);
  if (r->slab != nullptr) {
    r->slab->drop();
  } else {
    PyObject_Free(self);
  }
  Py_DECREF(type);
}

PyObject* record_repr(PyObject* self) {
  const RecordObject* r = as_record(self);
  // The text forms are string literals, so their data() is NUL-terminated.
  return PyUnicode_FromFormat(
      "Record(key=<%zd bytes>, value=<%zd bytes>, seq=%llu, state=%s, file_type=%s)",
      r->key_size, Py_SIZE(r) - r->key_size, static_cast<unsigned long long>(r->seq),
      to_string(r->state).data(), to_string(r->file_type).data());
}

PyObject* get_key(PyObject* self, void*) { return bytes_of(key_of(as_record(self))); }
PyObject* get_value(PyObject* self, void*) { return bytes_of(value_of(as_record(self))); }
PyObject* get_seq(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_record(self)->seq);
}
PyObject* get_state(PyObject* self, void*) { return new_key_state(as_record(self)->state); }
PyObject* get_file_type(PyObject* self, void*) { return new_file_type(as_record(self)->file_type); }
PyObject* get_origin_file(PyObject* self, void*) { return Py_NewRef(as_record(self)->origin_file); }
PyObject* get_offset(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_record(self)->offset);
}
PyObject* get_was_compressed(PyObject* self, void*) {
  return PyBool_FromLong(as_record(self)->was_compressed);
}
// None for a record of the normal read; "carved-block" or "carved-log".
PyObject* get_recovered(PyObject* self, void*) {
  const Recovery recovered = as_record(self)->recovered;
  if (recovered == Recovery::None) Py_RETURN_NONE;
  const std::string_view text = to_string(recovered);
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
PyObject* get_user_key(PyObject* self, void*) {
  const RecordObject* r = as_record(self);
  return bytes_of(user_key_of(key_of(r), r->file_type));
}

PyGetSetDef record_getset[] = {
    {"key", get_key, nullptr, nullptr, nullptr},
    {"value", get_value, nullptr, nullptr, nullptr},
    {"seq", get_seq, nullptr, nullptr, nullptr},
    {"state", get_state, nullptr, nullptr, nullptr},
    {"file_type", get_file_type, nullptr, nullptr, nullptr},
    {"origin_file", get_origin_file, nullptr, nullptr, nullptr},
    {"offset", get_offset, nullptr, nullptr, nullptr},
    {"was_compressed", get_was_compressed, nullptr, nullptr, nullptr},
    {"user_key", get_user_key, nullptr, nullptr, nullptr},
    {"recovered", get_recovered, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* create_record_type() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
      {Py_tp_getset, record_getset},
      {0, nullptr},
  };
  // Not a base type: records are produced by the reader only, and a subclass
  // could not change how they are made.
  PyType_Spec spec{
      .name = "_vostrel.Record",
      .basicsize = static_cast<int>(kRecordHeaderSize),
      .itemsize = 1,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  record_class = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return record_class;
}

// One allocation: header, then key and value copied straight from the view.
PyObject* new_record(PyTypeObject* type, const RecordView& view, PyObject* origin_file) {
  const std::size_t payload = view.key.size() + view.value.size();
  if (payload > static_cast<std::size_t>(PY_SSIZE_T_MAX - kRecordHeaderSize)) return PyErr_NoMemory();
  auto* r = static_cast<RecordObject*>(
      PyObject_Malloc(static_cast<std::size_t>(kRecordHeaderSize) + payload));
  if (r == nullptr) return PyErr_NoMemory();
  PyObject_InitVar(reinterpret_cast<PyVarObject*>(r), type, static_cast<Py_ssize_t>(payload));
  r->seq = view.seq;
  r->offset = view.offset;
  r->origin_file = Py_NewRef(origin_file);
  r->key_size = static_cast<Py_ssize_t>(view.key.size());
  r->slab = nullptr;
  r->state = view.state;
  r->file_type = view.file_type;
  r->was_compressed = view.was_compressed;
  r->recovered = view.recovered;
  if (!view.key.empty()) std::memcpy(r->data, view.key.data(), view.key.size());
  if (!view.value.empty()) std::memcpy(r->data + view.key.size(), view.value.data(), view.value.size());
  return reinterpret_cast<PyObject*>(r);
}

}  // namespace

std::size_t record_room() noexcept { return static_cast<std::size_t>(kRecordHeaderSize); }

PyObject* record_in_place(const RecordView& view, PyObject* origin_file, RecordSlab& slab) {
  // The header's room lies just before the key; the value follows the key.
  auto* r = reinterpret_cast<RecordObject*>(const_cast<char*>(view.key.data()) - kRecordHeaderSize);
  const std::size_t payload = view.key.size() + view.value.size();
  PyObject_InitVar(reinterpret_cast<PyVarObject*>(r), record_class, static_cast<Py_ssize_t>(payload));
  r->seq = view.seq;
  r->offset = view.offset;
  r->origin_file = Py_NewRef(origin_file);
  r->key_size = static_cast<Py_ssize_t>(view.key.size());
  r->slab = slab.hold();
  r->state = view.state;
  r->file_type = view.file_type;
  r->was_compressed = view.was_compressed;
  r->recovered = view.recovered;
  return reinterpret_cast<PyObject*>(r);
}

PyTypeObject* record_type() { return record_class != nullptr ? record_class : create_record_type(); }

RecordListSink::~RecordListSink() {
  for (PyObject* record : records_) Py_DECREF(record);
  Py_XDECREF(path_str_);
}

void RecordListSink::out_of_memory_or_fail() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    file_out_of_memory_ = true;
  } else {
    failed_ = true;
  }
}

void RecordListSink::operator()(const RecordView& view) {
  // After a failure the rest of the walk (or of the file) only drains; the
  // error is reported by take_list, the file's by file_out_of_memory.
  if (failed_ || file_out_of_memory_) return;
  if (view.origin_file != last_path_ || path_str_ == nullptr) {
    Py_CLEAR(path_str_);
    const std::string& path = **view.origin_file;
    path_str_ = PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace");
    if (path_str_ == nullptr) {
      out_of_memory_or_fail();
      return;
    }
    last_path_ = view.origin_file;
  }
  PyObject* record = new_record(record_class, view, path_str_);
  if (record == nullptr) {
    out_of_memory_or_fail();
    return;
  }
  try {
    records_.push_back(record);
  } catch (...) {
    Py_DECREF(record);
    file_out_of_memory_ = true;
  }
}

void RecordListSink::begin_file() {
  file_start_ = records_.size();
  file_out_of_memory_ = false;
}

void RecordListSink::drop_file() {
  for (std::size_t i = file_start_; i < records_.size(); ++i) Py_DECREF(records_[i]);
  records_.resize(file_start_);
  records_.shrink_to_fit();
  file_out_of_memory_ = false;
}

PyObject* RecordListSink::take_list() {
  if (failed_) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(records_.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < records_.size(); ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), records_[i]);  // steals the reference
  }
  records_.clear();
  return list;
}

std::vector<PyObject*> RecordListSink::take_records() {
  if (failed_) return {};
  return std::exchange(records_, {});
}

std::string_view record_user_key(PyObject* record) {
  const RecordObject* r = as_record(record);
  return user_key_of(key_of(r), r->file_type);
}

}  // namespace vostrel::bindings
