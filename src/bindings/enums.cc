// KeyState and FileType: small immutable value classes with int(), a text form
// and ==/!= against their own class or any integer. They define no hash, so
// Python makes their instances unhashable.

#include <array>
#include <string_view>

#include "bindings.h"

namespace vostrel::bindings {
namespace {

struct EnumObject {
  PyObject_HEAD
  int value;
};

struct EnumInfo {
  const char* qualified_name;  // "_vostrel.KeyState"
  const char* class_name;      // "KeyState"
  std::array<std::pair<const char*, int>, 3> members;  // name, value; nullptr ends
};

constexpr EnumInfo kKeyStateInfo{
    "_vostrel.KeyState", "KeyState", {{{"Deleted", 0}, {"Live", 1}, {"Unknown", 2}}}};
constexpr EnumInfo kFileTypeInfo{
    "_vostrel.FileType", "FileType", {{{"Ldb", 1}, {"Log", 2}, {nullptr, 0}}}};

PyTypeObject* key_state_class = nullptr;
PyTypeObject* file_type_class = nullptr;

const EnumInfo& info_of(PyTypeObject* type) {
  return type == key_state_class ? kKeyStateInfo : kFileTypeInfo;
}

PyObject* make_enum(PyTypeObject* type, int value) {
  auto* object = PyObject_New(EnumObject, type);
  if (object == nullptr) return nullptr;
  object->value = value;
  return reinterpret_cast<PyObject*>(object);
}

void enum_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* enum_repr(PyObject* self) {
  const EnumInfo& info = info_of(Py_TYPE(self));
  const int value = reinterpret_cast<EnumObject*>(self)->value;
  for (const auto& [name, member_value] : info.members) {
    if (name != nullptr && member_value == value) {
      return PyUnicode_FromFormat("%s.%s", info.class_name, name);
    }
  }
  return PyUnicode_FromFormat("%s(%d)", info.class_name, value);
}

PyObject* enum_int(PyObject* self) {
  return PyLong_FromLong(reinterpret_cast<EnumObject*>(self)->value);
}

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  const long value = reinterpret_cast<EnumObject*>(self)->value;
  bool equal;
  if (Py_TYPE(other) == Py_TYPE(self)) {
    equal = value == reinterpret_cast<EnumObject*>(other)->value;
  } else if (PyIndex_Check(other)) {
    // Any integer-like object (int, bool, __index__) compares by value. A
    // failed or overflowing conversion is not an error: Python then falls back
    // to identity.
    const Py_ssize_t number = PyNumber_AsSsize_t(other, PyExc_OverflowError);
    if (number == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
    equal = number == value;
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return PyBool_FromLong((op == Py_EQ) == equal);
}

PyTypeObject* create_enum_type(const EnumInfo& info, PyTypeObject*& slot) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(enum_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(enum_repr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_nb_int, reinterpret_cast<void*>(enum_int)},
      {0, nullptr},
  };
  // Not a base type: the members are fixed values, not something to extend.
  PyType_Spec spec{
      .name = info.qualified_name,
      .basicsize = sizeof(EnumObject),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (type == nullptr) return nullptr;
  slot = type;
  // The members are made once, with the class, in declaration order. The type
  // is immutable to Python code, so they go into its dict directly.
  for (const auto& [name, value] : info.members) {
    if (name == nullptr) continue;
    PyObject* member = make_enum(type, value);
    if (member == nullptr || PyDict_SetItemString(type->tp_dict, name, member) != 0) {
      Py_XDECREF(member);
      slot = nullptr;
      Py_DECREF(type);
      return nullptr;
    }
    Py_DECREF(member);
  }
  PyType_Modified(type);
  return type;
}

}  // namespace

PyTypeObject* key_state_type() {
  return key_state_class != nullptr ? key_state_class : create_enum_type(kKeyStateInfo, key_state_class);
}

PyTypeObject* file_type_type() {
  return file_type_class != nullptr ? file_type_class : create_enum_type(kFileTypeInfo, file_type_class);
}

PyObject* new_key_state(KeyState state) {
  PyTypeObject* type = key_state_type();
  return type == nullptr ? nullptr : make_enum(type, static_cast<int>(state));
}

PyObject* new_file_type(FileType file_type) {
  PyTypeObject* type = file_type_type();
  return type == nullptr ? nullptr : make_enum(type, static_cast<int>(file_type));
}

}  // namespace vostrel::bindings
