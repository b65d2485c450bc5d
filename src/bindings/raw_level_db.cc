// RawLevelDb: one opened database directory. The instance owns the reader
// until close(); a shared/exclusive guard keeps close() from pulling the
// reader away from a call still using it (a finaliser run by the garbage
// collector during an iteration could otherwise do exactly that).

#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include <unistd.h>

#include <algorithm>

#include "raw_level_db.h"

namespace vostrel::bindings {
namespace {

PyObject* db_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"in_dir", nullptr};
  PyObject* in_dir = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:RawLevelDb.__new__",
                                   const_cast<char**>(keywords), &in_dir)) {
    return nullptr;
  }
  try {
    std::string path;
    auto reader = open_reader("in_dir", in_dir, path);
    if (!reader) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    RawLevelDbObject* db = as_db(self);
    new (&db->reader) std::optional<vostrel::RawLevelDb>(std::move(*reader));
    new (&db->reading_ahead) std::vector<vostrel::RecordStream*>();
    db->shared_uses = 0;
    db->exclusive_use = false;
    return self;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

void db_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_db(self)->reading_ahead.~vector();  // empty: each iterator holds the object
  as_db(self)->reader.~optional();  // unmaps every file of the reader
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* db_iterate_records_raw(PyObject* self, PyObject* args, PyObject* kwargs) {
  bool reverse = false;
  if (!parse_reverse_only(args, kwargs, "|$O:iterate_records_raw", reverse)) return nullptr;
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();

  try {
    return collect_records(*db->reader, db->reader->reading_order(reverse, false));
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* db_get_in_dir_path(PyObject* self, void*) {
  RawLevelDbObject* db = as_db(self);
  const SharedAccess access(db);
  if (!access.ok()) return nullptr;
  if (!db->reader) return raise_closed();
  const std::string& path = db->reader->in_dir();
  return PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace");
}

// Dropping the reader releases every mapping of its data files and manifest.
// A call of another thread that is using the reader (it releases the
// interpreter lock while it decodes) is waited for; one of this thread's own
// (close() from a garbage collector callback or an export's progress
// callback) cannot be, and the guard refuses it ("Already borrowed").
PyObject* close_reader(RawLevelDbObject* db) {
  while (db->shared_uses > 0 && std::find(shared_here.begin(), shared_here.end(), db) == shared_here.end()) {
    Py_BEGIN_ALLOW_THREADS
    ::usleep(1000);
    Py_END_ALLOW_THREADS
    if (PyErr_CheckSignals() != 0) return nullptr;
  }
  const ExclusiveAccess access(db);
  if (!access.ok()) return nullptr;
  for (vostrel::RecordStream* stream : db->reading_ahead) stream->stop_reading_ahead();
  db->reader.reset();
  return Py_None;
}

PyObject* db_close(PyObject* self, PyObject*) {
  if (close_reader(as_db(self)) == nullptr) return nullptr;
  Py_RETURN_NONE;
}

PyObject* db_enter(PyObject* self, PyObject*) {
  const SharedAccess access(as_db(self));
  if (!access.ok()) return nullptr;
  return Py_NewRef(self);
}

PyObject* db_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"_exc_type", "_exc_val", "_exc_tb", nullptr};
  PyObject* exc_type = nullptr;
  PyObject* exc_val = nullptr;
  PyObject* exc_tb = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:__exit__", const_cast<char**>(keywords),
                                   &exc_type, &exc_val, &exc_tb)) {
    return nullptr;
  }
  if (close_reader(as_db(self)) == nullptr) return nullptr;
  Py_RETURN_FALSE;  // never swallows the exception of a with block
}

PyMethodDef db_methods[] = {
    {"iterate_records_raw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(db_iterate_records_raw)),
     METH_VARARGS | METH_KEYWORDS, "iterate_records_raw($self, *, reverse=False)\n--\n\n"},
    {"carve_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(db_carve_records)),
     METH_VARARGS | METH_KEYWORDS, "carve_records($self, *, reverse=False)\n--\n\n"},
    {"iter_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(db_iter_records)),
     METH_VARARGS | METH_KEYWORDS, "iter_records($self, *, reverse=False)\n--\n\n"},
    {"export", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(db_export)),
     METH_VARARGS | METH_KEYWORDS,
     "export($self, file, *, format='jsonl', encoding='escaped', states=None, reverse=False, progress=None, "
     "threads=None, store=None, header=True, carve=False, status=False, latest=False, positions=False)\n--\n\n"},
    {"file_stats", db_file_stats, METH_NOARGS, "file_stats($self)\n--\n\n"},
    {"statuses", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(db_statuses)),
     METH_VARARGS | METH_KEYWORDS,
     "statuses($self, *, reverse=False)\n--\n\n"
     "The status of every record, in the order of iterate_records_raw(reverse=reverse):\n"
     "'current' (the newest record of its user key among the files the manifest's\n"
     "current version uses: what the application reads), 'superseded' (an older\n"
     "version), or 'orphaned' (from a file that version no longer uses)."},
    {"latest", db_latest, METH_NOARGS,
     "latest($self)\n--\n\n"
     "The current records of the keys that hold a value (not deleted), in bytewise\n"
     "user-key order: what the real library's iterator gives."},
    {"current_ordinals", db_current_ordinals, METH_NOARGS,
     "current_ordinals($self)\n--\n\n"
     "{path: (ordinals, orphaned)} for every data file opened: the ordinals (from 0,\n"
     "in the file's own record order) of its current records, ascending, as packed\n"
     "native uint64 in bytes, and whether the file is orphaned (then no ordinals).\n"
     "What statuses() tells, for a reader of one file at a time."},
    {"positions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(db_positions)),
     METH_VARARGS | METH_KEYWORDS,
     "positions($self, *, reverse=False, carved=False)\n--\n\n"
     "Where every record's bytes lie and whether their checksums hold, one dict per\n"
     "record in the order of iterate_records_raw(reverse=reverse) (carved=True: of\n"
     "carve_records(reverse=reverse)), with the keys of `vostrel dump --positions`."},
    {"close", db_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", db_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(db_exit)),
     METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef db_getset[] = {
    {"in_dir_path", db_get_in_dir_path, nullptr, "", nullptr},
    {"skipped_files", db_get_skipped_files, nullptr,
     "The data files left out, as (path, reason) tuples: files recognised by name\n"
     "that could not be opened, read or mapped, are not regular files, or whose\n"
     "records did not fit in memory.",
     nullptr},
    {"carvable_files", db_get_carvable_files, nullptr,
     "The tables among skipped_files whose bytes could be read but not their footer\n"
     "or index: carving still reaches their blocks (export(carve=True)).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* raw_level_db_class = nullptr;

}  // namespace

std::optional<vostrel::RawLevelDb> open_reader(const char* argument, PyObject* directory, std::string& path) {
  if (!PyUnicode_Check(directory)) {
    raise_conversion(argument, directory, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(directory, &size);
  if (utf8 == nullptr) return std::nullopt;  // lone surrogates: the codec's UnicodeEncodeError
  path.assign(utf8, static_cast<std::size_t>(size));
  StopToken stop = python_stop_token();
  auto reader = vostrel::RawLevelDb::open(path, &stop);
  if (!reader) {
    // Interrupted: the signal's exception is already set.
    if (reader.error().kind != DbErrorKind::Interrupted) raise_db_error(reader.error());
    return std::nullopt;
  }
  return std::move(*reader);
}

PyObject* raise_conversion(const char* argument, PyObject* value, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", argument,
               Py_TYPE(value)->tp_name, target);
  return nullptr;
}

std::optional<std::string> file_path_argument(const char* argument, PyObject* path) {
  if (!PyUnicode_Check(path)) {
    raise_conversion(argument, path, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
  if (utf8 == nullptr) return std::nullopt;
  std::string text(utf8, static_cast<std::size_t>(size));
  if (text.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "path contains a NUL character");
    return std::nullopt;
  }
  return text;
}

namespace {

// numpy's boolean scalar, recognised by name so that numpy is not a dependency.
bool is_numpy_bool(PyObject* value) {
  const char* name = Py_TYPE(value)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

bool parse_bool_argument(const char* name, PyObject* value, bool& out) {
  if (value == nullptr) return true;
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_conversion(name, value, "PyBool");
  return false;
}

bool parse_reverse_only(PyObject* args, PyObject* kwargs, const char* format, bool& reverse) {
  static const char* keywords[] = {"reverse", nullptr};
  PyObject* reverse_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &reverse_arg)) {
    return false;
  }
  return parse_bool_argument("reverse", reverse_arg, reverse);
}

PyObject* raise_closed() {
  PyErr_SetString(PyExc_RuntimeError, "Database is closed");
  return nullptr;
}

PyTypeObject* raw_level_db_type() {
  if (raw_level_db_class != nullptr) return raw_level_db_class;
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(db_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(db_dealloc)},
      {Py_tp_methods, db_methods},
      {Py_tp_getset, db_getset},
      {Py_tp_doc, const_cast<char*>("RawLevelDb(in_dir)\n--\n\n")},
      {0, nullptr},
  };
  // Not a base type: a subclass could bypass the access guard around the reader.
  PyType_Spec spec{
      .name = "_vostrel.RawLevelDb",
      .basicsize = sizeof(RawLevelDbObject),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  raw_level_db_class = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return raw_level_db_class;
}

}  // namespace vostrel::bindings
