// RawLevelDb.file_stats(): the record counts of every data file the reader
// opened, counted natively in one walk with the interpreter lock released.

#include "format/file_name.h"
#include "read/file_stats.h"
#include "raw_level_db.h"

namespace vostrel::bindings {
namespace {

// The number a person reads in the name: its digits in decimal (the reader
// orders by a base-16 reading of the same digits, which sorts alike).
PyObject* decimal_number(const std::string& path) {
  const std::string stem(file_stem(path));
  PyObject* number = PyLong_FromString(stem.c_str(), nullptr, 10);
  if (number == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return Py_NewRef(Py_None);
  }
  return number;
}

PyObject* decode_path(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* stats_dict(const RawLevelDb& db, const DataFileStats& stats) {
  const DataFile& file = db.data_files()[stats.position];
  const std::string& path = path_of(file);
  PyObject* size = stats.size ? PyLong_FromUnsignedLongLong(*stats.size) : Py_NewRef(Py_None);
  return Py_BuildValue("{sNsNsNsNsNsKsKsKsKsK}",                              //
                       "path", decode_path(path),                              //
                       "name", decode_path(final_component(path)),             //
                       "file_type", new_file_type(file_type_of(file)),         //
                       "number", decimal_number(path),                         //
                       "size", size,                                           //
                       "records", static_cast<unsigned long long>(stats.counts.records),
                       "live", static_cast<unsigned long long>(stats.counts.live),
                       "deleted", static_cast<unsigned long long>(stats.counts.deleted),
                       "unknown", static_cast<unsigned long long>(stats.counts.unknown),
                       "compressed_records", static_cast<unsigned long long>(stats.counts.compressed));
}

}  // namespace

PyObject* db_file_stats(PyObject* self, PyObject*) {
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();
  try {
    std::vector<DataFileStats> all;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    // No exception may cross the lock's release: caught here, raised below.
    try {
      all = count_records_per_file(*db->reader);
    } catch (...) {
      out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(all.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < all.size(); ++i) {
      PyObject* item = stats_dict(*db->reader, all[i]);
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
