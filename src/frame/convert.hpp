// Conversions between Python objects and native values, with the
// interpreter's error texts. Argument conversions throw; result conversions
// return new references, and pass on the interpreter's exception (a
// MemoryError) when it cannot make one.
#pragma once
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "frame/borrow.hpp"
#include "frame/ref.hpp"

namespace quorvane::frame {

double to_double(PyObject* object);
std::int64_t to_int64(PyObject* object);
std::uint64_t to_uint64(PyObject* object);
// UTF-8 bytes of a str; valid while `object` lives.
std::string_view to_text(PyObject* object);

// Results.
Ref result_checked(PyObject* made);  // a float, int, str, list or tuple
inline Ref py_none() { return Ref::share(Py_None); }
inline Ref py_bool(bool value) { return Ref::share(value ? Py_True : Py_False); }
inline Ref py_float(double value) { return result_checked(PyFloat_FromDouble(value)); }
inline Ref py_int(std::int64_t value) { return result_checked(PyLong_FromLongLong(value)); }
inline Ref py_uint(std::uint64_t value) { return result_checked(PyLong_FromUnsignedLongLong(value)); }
inline Ref py_text(std::string_view text) {
  return result_checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
// An ASCII str of `size` characters written by `write(char*)` in place.
template <class Write>
Ref py_ascii(Py_ssize_t size, Write&& write) {
  Ref text = result_checked(PyUnicode_New(size, 127));
  write(reinterpret_cast<char*>(PyUnicode_DATA(text.get())));
  return text;
}
Ref py_pair(Ref first, Ref second);

// Makes a container (a list or tuple) with the cyclic collector held off.
// Before 3.12 the collector may run inside such an allocation, and with it
// finalizers: one that used the object this call holds would find it
// borrowed. Later interpreters run the collector only between bytecodes.
template <class Make>
Ref new_container(Make&& make) {
#if PY_VERSION_HEX < 0x030C0000
  const int collecting = PyGC_Disable();
  PyObject* made = make();
  if (collecting) PyGC_Enable();
  return result_checked(made);
#else
  return result_checked(make());
#endif
}

// A new list of `count` items made by `item(i)` in order.
template <class MakeItem>
Ref py_list(std::size_t count, MakeItem&& item) {
  Ref list = new_container([&] { return PyList_New(static_cast<Py_ssize_t>(count)); });
  for (std::size_t i = 0; i < count; ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item(i).release());
  return list;
}

}  // namespace quorvane::frame
