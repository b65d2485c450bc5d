// Carving from Python: RawLevelDb.carve_records and the module function
// read_file for one loose file. Both hand back Record objects whose
// `recovered` says how carving found them.

#include <cerrno>

#include "recover/loose_file.h"
#include "raw_level_db.h"

namespace vostrel::bindings {

PyObject* db_carve_records(PyObject* self, PyObject* args, PyObject* kwargs) {
  bool reverse = false;
  if (!parse_reverse_only(args, kwargs, "|$O:carve_records", reverse)) return nullptr;
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();
  try {
    // The carving units of the reading order: what the normal read's units
    // leave.
    auto order = db->reader->reading_order(reverse, true);
    std::erase_if(order, [](WalkUnit unit) { return unit.pass == WalkPass::Read; });
    return collect_records(*db->reader, order);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* read_file(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "carve", nullptr};
  PyObject* path = nullptr;
  PyObject* carve_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:read_file", const_cast<char**>(keywords), &path,
                                   &carve_arg)) {
    return nullptr;
  }
  if (!PyUnicode_Check(path)) return raise_conversion("path", path, "PyString");
  bool carve = true;
  if (!parse_bool_argument("carve", carve_arg, carve)) return nullptr;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
  if (utf8 == nullptr) return nullptr;
  const std::string text(utf8, static_cast<std::size_t>(size));
  if (text.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "path contains a NUL character");
    return nullptr;
  }
  try {
    auto file = LooseFile::open(text);
    if (!file) {
      errno = file.error().code;
      return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    }
    RecordListSink sink;
    DecodeScratch scratch;
    file->visit_records(carve, sink, scratch);
    return sink.take_list();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
