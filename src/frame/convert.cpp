#include "frame/convert.hpp"

#include <string>

namespace quorvane::frame {

void throw_not_instance(PyObject* object, const char* class_name) {
  raise(PyExc_TypeError, "'" + type_name_of(object) + "' object cannot be converted to '" + class_name + "'");
}

double to_double(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
  return value;
}

std::int64_t to_int64(PyObject* object) {
  long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  return value;
}

std::uint64_t to_uint64(PyObject* object) {
  Ref index;
  if (!PyLong_Check(object)) {
    index = Ref::steal(PyNumber_Index(object));
    if (!index) throw PythonError{};
    object = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return value;
}

std::string_view to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_not_instance(object, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (!utf8) throw PythonError{};
  return {utf8, static_cast<std::size_t>(size)};
}

Ref result_checked(PyObject* made) {
  if (!made) {
    if (PyErr_Occurred()) throw PythonError{};  // MemoryError, in practice
    throw InternalFailure("Python API call failed");
  }
  return Ref::steal(made);
}

Ref py_pair(Ref first, Ref second) {
  Ref pair = new_container([] { return PyTuple_New(2); });
  PyTuple_SET_ITEM(pair.get(), 0, first.release());
  PyTuple_SET_ITEM(pair.get(), 1, second.release());
  return pair;
}

}  // namespace quorvane::frame
