// Entry points. Each turns an operation written against typed values into the
// C function the interpreter calls: bind (when the callable has parameters),
// run under guarded(), hand the new reference back. Access to the receiver
// and conversions happen inside the operation, in the order it states, through
// the guards of borrow.hpp and Args::convert.
#pragma once
#include <Python.h>

#include "frame/binder.hpp"
#include "frame/errors.hpp"
#include "frame/ref.hpp"
#include "frame/type_builder.hpp"

namespace quorvane::frame {

// Method with parameters: Ref op(PyObject* self, const Args<N>&)
template <const auto& P, auto Op>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    Args bound(P);
    bound.bind(args, PyVectorcall_NARGS(nargs), kwnames);
    return Op(self, bound).release();
  });
}

// Constructor: Ref op(const Args<N>&), reached two ways. Calling the class
// takes the vectorcall entry, which needs no argument tuple; __new__ called
// directly takes tp_new. Both bind the same parameters.
template <const auto& P, auto Op>
PyObject* constructor_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Args bound(P);
    bound.bind(args, kwargs);
    const auto arguments_kept_alive = bound.hold();
    return Op(bound).release();
  });
}

template <const auto& P, auto Op>
PyObject* constructor_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (constructor_replaced(type, &constructor_new<P, Op>)) return call_like_type_call(type, args, nargs, kwnames);
  return guarded([&] {
    Args bound(P);
    bound.bind(args, nargs, kwnames);
    return Op(bound).release();
  });
}

template <const auto& P, auto Op>
constexpr Constructor constructor{&constructor_new<P, Op>, &constructor_vectorcall<P, Op>};

// Method without parameters: Ref op(PyObject* self)
template <auto Op>
PyObject* method_noargs(PyObject* self, PyObject*) {
  return guarded([&] { return Op(self).release(); });
}

// Property getter, __repr__, __int__: Ref op(PyObject* self)
template <auto Op>
PyObject* getter(PyObject* self, void*) {
  return guarded([&] { return Op(self).release(); });
}

template <auto Op>
PyObject* unary(PyObject* self) {
  return guarded([&] { return Op(self).release(); });
}

#define QUORVANE_METHOD(name, params, op, doc) \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&::quorvane::frame::method<params, op>)), \
   METH_FASTCALL | METH_KEYWORDS, doc}
#define QUORVANE_NOARGS(name, op, doc) {name, &::quorvane::frame::method_noargs<op>, METH_NOARGS, doc}
#define QUORVANE_PROPERTY(name, op, doc) {name, &::quorvane::frame::getter<op>, nullptr, doc, nullptr}

}  // namespace quorvane::frame
