// Module-level access to the file-name rules, so that the command line applies
// exactly the rule the reader applies instead of a copy of it.

#include "bindings.h"
#include "format/file_name.h"

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

}  // namespace vostrel::bindings
