#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef vostrel_module = {PyModuleDef_HEAD_INIT, "_vostrel", nullptr, -1, nullptr};
PyMODINIT_FUNC PyInit__vostrel(void) { return PyModule_Create(&vostrel_module); }
