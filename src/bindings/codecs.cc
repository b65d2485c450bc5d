// Module-level functions that expose the core's decoders to the Python layers:
// decompress_snappy(data) -> bytes, for the Snappy-compressed values that
// Chromium's IndexedDB stores inside records (not LevelDB block compression).

#include <string_view>

#include "bindings.h"
#include "format/compression.h"

namespace vostrel::bindings {

PyObject* decompress_snappy(PyObject*, PyObject* arg) {
  Py_buffer view;
  if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
  PyObject* result = nullptr;
  try {
    const std::string_view input(static_cast<const char*>(view.buf),
                                 static_cast<std::size_t>(view.len));
    // The declared length is checked against what the input can expand to
    // before anything is allocated, so corrupt input costs no memory.
    // Compression type 1 is Snappy.
    DecompressBuffer buffer;
    const auto output = decompress_snappy(input, buffer);
    if (!output) {
      const std::string message = output.error().message();
      PyErr_SetString(PyExc_ValueError, message.c_str());
    } else {
      result = PyBytes_FromStringAndSize(output->data(), static_cast<Py_ssize_t>(output->size()));
    }
  } catch (...) {
    raise_from_current_exception();
  }
  PyBuffer_Release(&view);
  return result;
}

}  // namespace vostrel::bindings
