#include <exception>
#include <cstring>
#include <new>

#include "bindings.h"

namespace vostrel::bindings {

void raise_db_error(const DbError& error) {
  // Both kinds surface as ValueError carrying the error's message.
  // Built with its length: the path in the message may hold any character.
  const std::string message = error.message();
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (text == nullptr) return;
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DECREF(text);
}

void raise_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  const char* name = type->tp_name;
  // tp_name is "_vostrel.Name"; the message names the class alone.
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name);
  return nullptr;
}

}  // namespace vostrel::bindings
