#include "frame/binder.hpp"

#include <string>

namespace quorvane::frame {
namespace {

[[noreturn]] void too_many_positional(const ParamsView& p, Py_ssize_t given) {
  std::string text = p.full_name;
  if (p.required != p.count) {
    text += " takes from " + std::to_string(p.required) + " to " + std::to_string(p.count);
  } else {
    text += " takes " + std::to_string(p.count);
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  raise(PyExc_TypeError, std::move(text));
}

void place_keyword(const ParamsView& p, PyObject* name, PyObject* value, PyObject** slots) {
  if (PyUnicode_Check(name)) {
    for (std::size_t i = 0; i < p.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(name, p.names[i]) != 0) continue;
      if (slots[i]) {
        raise(PyExc_TypeError, std::string(p.full_name) + " got multiple values for argument '" + p.names[i] + "'");
      }
      slots[i] = value;
      return;
    }
  }
  // Formatted by the interpreter, which takes any str (a lone surrogate too), as its own message does.
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", p.full_name, name);
  throw PythonError{};
}

void check_required(const ParamsView& p, Py_ssize_t nargs, PyObject** slots) {
  if (static_cast<std::size_t>(nargs) >= p.required) return;
  std::size_t missing[8];
  std::size_t n = 0;
  for (std::size_t i = 0; i < p.required; ++i) {
    if (!slots[i]) missing[n++] = i;
  }
  if (n == 0) return;
  std::string text = std::string(p.full_name) + " missing " + std::to_string(n) + " required positional argument" +
                     (n == 1 ? "" : "s") + ": ";
  for (std::size_t k = 0; k < n; ++k) {
    if (k > 0) text += n == 2 ? " " : ", ";
    if (k > 0 && k == n - 1) text += "and ";
    text += std::string("'") + p.names[missing[k]] + "'";
  }
  raise(PyExc_TypeError, std::move(text));
}

}  // namespace

void bind_vector(const ParamsView& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  if (static_cast<std::size_t>(nargs) > p.count) too_many_positional(p, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) place_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
  }
  check_required(p, nargs, slots);
}

void bind_tuple(const ParamsView& p, PyObject* args, PyObject* kwargs, PyObject** slots) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > p.count) too_many_positional(p, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    PyObject *name, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &name, &value)) place_keyword(p, name, value, slots);
  }
  check_required(p, nargs, slots);
}

}  // namespace quorvane::frame
