// Argument binding. A callable declares its parameters once (Params); the
// binder fills one slot per parameter from positional and keyword arguments
// with the interpreter's own error texts, and Args converts each slot,
// naming the parameter when a conversion fails with TypeError.
#pragma once
#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "frame/errors.hpp"

namespace quorvane::frame {

struct ParamsView {
  const char* full_name;  // "Order.fill()"
  const char* const* names;
  std::size_t count;
  std::size_t required;
};

template <std::size_t N>
struct Params {
  const char* full_name;
  std::array<const char*, N> names;
  std::size_t required = N;

  constexpr ParamsView view() const { return {full_name, names.data(), N, required}; }
};

// Fill `slots` (borrowed references, null when absent) from a vectorcall.
void bind_vector(const ParamsView& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** slots);
// Fill `slots` from a constructor's tuple and dictionary.
void bind_tuple(const ParamsView& params, PyObject* args, PyObject* kwargs, PyObject** slots);

template <std::size_t N>
class Args {
 public:
  explicit Args(const Params<N>& params) : params_(params) {}

  void bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
      for (std::size_t i = 0; i < N; ++i) {
        slots_[i] = args[i];
        // The conversions read the arguments one after another; a caller's
        // numbers are often far apart in memory, so their misses overlap.
        // The next line is fetched too, whatever the type: an id's characters
        // run into it, and so does an order's access counter. Asking the
        // type first would wait for the first line.
        __builtin_prefetch(args[i]);
        __builtin_prefetch(reinterpret_cast<const char*>(args[i]) + 64);
      }
      return;
    }
    bind_vector(params_.view(), args, nargs, kwnames, slots_.data());
  }
  void bind(PyObject* args, PyObject* kwargs) { bind_tuple(params_.view(), args, kwargs, slots_.data()); }

  // References to the bound arguments. A vectorcall's arguments live as long
  // as the call; a keyword dictionary's values do not, when a conversion's
  // Python code empties the dictionary.
  std::array<Ref, N> hold() const {
    std::array<Ref, N> held;
    for (std::size_t i = 0; i < N; ++i) held[i] = Ref::share(slots_[i]);
    return held;
  }

  bool given(std::size_t i) const { return slots_[i] != nullptr; }

  // Converts slot i with `convert(PyObject*)`; a TypeError names the parameter.
  template <class Convert>
  decltype(auto) convert(std::size_t i, Convert&& convert) const {
    try {
      return convert(slots_[i]);
    } catch (Raise& error) {
      if (error.type == PyExc_TypeError) {
        error.message = std::string("argument '") + params_.names[i] + "': " + error.message;
      }
      throw;
    } catch (const PythonError&) {
      prefix_type_error(params_.names[i]);
      throw;
    }
  }

 private:
  const Params<N>& params_;
  std::array<PyObject*, N> slots_{};
};

}  // namespace quorvane::frame
