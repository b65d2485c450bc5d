// Module-level functions that expose the core's decoders to the Python layers:
// decompress_snappy(data) -> bytes, for the Snappy-compressed values that
// Chromium's IndexedDB stores inside records (not LevelDB block compression).

#include <string_view>

#include "bindings.h"
#include "snappy.h"

namespace vostrel::bindings {
namespace {

PyObject* decompress_snappy(PyObject*, PyObject* arg) {
  Py_buffer view;
  if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
  PyObject* result = nullptr;
  try {
    const std::string_view input(static_cast<const char*>(view.buf),
                                 static_cast<std::size_t>(view.len));
    // The declared length is checked against what the input can expand to
    // before anything is allocated, so corrupt input costs no memory.
    auto output = vostrel::snappy::decompress(input);
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

PyMethodDef functions[] = {
    {"decompress_snappy", decompress_snappy, METH_O,
     "decompress_snappy(data, /)\n--\n\n"
     "Decompresses one raw (unframed) Snappy buffer; ValueError if it is corrupt."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() { return functions; }

}  // namespace vostrel::bindings
