// Turns one declarative class description into an interpreter heap type:
// "builtins."-prefixed name, default flags only, the class documentation with
// its text signature, the slot, method and property tables, and the class
// attributes (the enumeration members), wrapping failures in the
// RuntimeErrors that name the class.
#pragma once
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "frame/ref.hpp"

namespace quorvane::frame {

struct ClassAttribute {
  const char* name;
  std::uint8_t value;
};

// A class's constructor: tp_new, and the entry for calls of the class.
struct Constructor {
  newfunc tp_new;
  vectorcallfunc vectorcall;  // null: calls go through tp_new
};

struct ClassTable {
  const char* name;
  const char* doc;
  const char* text_signature;  // null: no signature
  int basicsize;
  std::vector<PyType_Slot> slots;  // without doc, methods, getset or the terminator
  PyMethodDef* methods;            // null-terminated, or null
  PyGetSetDef* properties;         // null-terminated, or null
  std::span<const ClassAttribute> attributes;
  Ref (*make_attribute)(std::uint8_t value);  // builds a member from its byte
  vectorcallfunc vectorcall = nullptr;        // calls of the class, when set
};

// Creates the type once and publishes it in `slot`; a later call returns it.
// Returns null with the RuntimeError set on failure. Callers serialise calls
// for the same slot (the module entry holds its lock).
PyTypeObject* ensure_type(const ClassTable& table, std::atomic<PyTypeObject*>& slot);

// True when Python code has replaced the class's __new__ (ours is `tp_new`)
// or given it an __init__: its calls must then go the interpreter's way.
inline bool constructor_replaced(PyObject* type, newfunc tp_new) {
  const PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
  return t->tp_new != tp_new || t->tp_init != PyBaseObject_Type.tp_init;
}

// Calls the class as the interpreter does without a vectorcall entry:
// __new__ with an argument tuple and dictionary, then __init__.
PyObject* call_like_type_call(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// tp_new for a class without a constructor.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace quorvane::frame
