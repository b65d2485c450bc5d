// Module-level access to the file-name rules and the directory listing, so
// that the command line applies exactly the rules the reader applies instead
// of a copy of them.

#include <cerrno>

#include "format/file_name.h"
#include "raw_level_db.h"

namespace vostrel::bindings {

PyObject* data_file_type(PyObject*, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "data_file_type() argument must be str, not %s",
                 Py_TYPE(name)->tp_name);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) {
    // A name that is not valid UTF-8 (os.listdir gives such bytes as lone
    // surrogates) is no data file's name.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  const auto named = parse_entry_name(std::string_view(utf8, static_cast<std::size_t>(size)));
  if (!named || named->kind != EntryKind::DataFile) Py_RETURN_NONE;
  return new_file_type(named->file_type);
}

PyObject* decimal_number(std::string_view path) {
  const std::string stem(file_stem(path));
  PyObject* number = PyLong_FromString(stem.c_str(), nullptr, 10);
  if (number == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return Py_NewRef(Py_None);
  }
  return number;
}

PyObject* data_files(PyObject*, PyObject* directory) {
  if (!PyUnicode_Check(directory)) return raise_conversion("directory", directory, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(directory, &size);
  if (utf8 == nullptr) return nullptr;  // lone surrogates: the codec's UnicodeEncodeError
  try {
    StopToken stop = python_stop_token();
    const auto listed = list_data_files(std::string(utf8, static_cast<std::size_t>(size)), &stop);
    if (!listed) {
      // Interrupted: the signal's exception is already set.
      if (listed.error().kind == DbErrorKind::Interrupted) return nullptr;
      errno = listed.error().error.code;
      return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, directory);
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(listed->size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < listed->size(); ++i) {
      const ListedDataFile& file = (*listed)[i];
      PyObject* item = Py_BuildValue("(NNN)", decode_path(file.path), new_file_type(file.type),
                                     decimal_number(file.path));
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
