// Module-level functions that expose the core's codecs to the Python layers:
//   decompress_snappy(data) -> bytes, for the Snappy-compressed values that
//     Chromium's IndexedDB stores inside records (not LevelDB block compression);
//   escape(data) -> str and unescape(text) -> bytes, the escaped text form of
//     raw bytes (export/byte_encoding.h) and its inverse.

#include <cstdint>
#include <string>
#include <string_view>

#include "bindings.h"
#include "export/byte_encoding.h"
#include "format/compression.h"

namespace vostrel::bindings {
namespace {

// Calls body with the contents of a bytes-like argument, which stay held
// until it returns; a C++ exception becomes the Python error.
template <class Body>
PyObject* with_bytes(PyObject* arg, Body body) {
  Py_buffer view;
  if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
  PyObject* result = nullptr;
  try {
    result = body(std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)));
  } catch (...) {
    raise_from_current_exception();
  }
  PyBuffer_Release(&view);
  return result;
}

}  // namespace

PyObject* decompress_snappy(PyObject*, PyObject* arg) {
  return with_bytes(arg, [](std::string_view input) -> PyObject* {
    // The declared length is checked against what the input can expand to
    // before anything is allocated, so corrupt input costs no memory.
    // Compression type 1 is Snappy.
    DecompressBuffer buffer;
    const auto output = decompress_snappy(input, buffer);
    if (!output) {
      const std::string message = output.error().message();
      PyErr_SetString(PyExc_ValueError, message.c_str());
      return nullptr;
    }
    return PyBytes_FromStringAndSize(output->data(), static_cast<Py_ssize_t>(output->size()));
  });
}

PyObject* escape(PyObject*, PyObject* arg) {
  return with_bytes(arg, [](std::string_view bytes) -> PyObject* {
    if (bytes.size() > SIZE_MAX / 5) return PyErr_NoMemory();
    const std::string text = encode(bytes, ByteEncoding::Escaped);
    // Printable characters and ASCII escapes only: always valid UTF-8.
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  });
}

PyObject* unescape(PyObject*, PyObject* arg) {
  if (!PyUnicode_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "unescape() argument must be str, not %.200s", Py_TYPE(arg)->tp_name);
    return nullptr;
  }
  Py_ssize_t size = 0;
  // A lone surrogate has no UTF-8 form: UnicodeEncodeError, a ValueError.
  const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
  if (utf8 == nullptr) return nullptr;
  try {
    const auto bytes = decode_escaped(std::string_view(utf8, static_cast<std::size_t>(size)));
    if (!bytes) {
      PyErr_SetString(PyExc_ValueError, bytes.error().c_str());
      return nullptr;
    }
    return PyBytes_FromStringAndSize(bytes->data(), static_cast<Py_ssize_t>(bytes->size()));
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace vostrel::bindings
