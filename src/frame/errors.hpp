// How failures travel through the call frame. Inside a call a failure is a C++
// exception; the entry point (guarded) catches every one of them and turns it
// into the Python exception, so none ever crosses into the interpreter.
//   PythonError      the interpreter already has an exception set
//   Raise            an exception type and message, created only when raised
//   InternalFailure  (from the engine) becomes PanicException
#pragma once
#include <Python.h>

#include <exception>
#include <new>
#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif
#include <string>

#include "frame/ref.hpp"
#include "model/failure.hpp"

namespace quorvane::frame {

struct PythonError {};

struct Raise {
  PyObject* type;
  std::string message;
};

[[noreturn]] inline void raise(PyObject* type, std::string message) { throw Raise{type, std::move(message)}; }

// Throws PythonError if the interpreter has an error pending after a call
// that reported failure; SystemError when it has none, as the interpreter does.
[[noreturn]] void throw_pending();

// Takes the pending exception as a normalized object (null if none).
Ref fetch_exception();

// The PanicException class, created on first need.
PyObject* panic_type();

// Sets the Python exception for the failure being handled; the caller is a catch handler.
void set_python_error(const Raise& error);
void set_internal_failure(const char* text);
// A PanicException raised by Python code that the frame called (an
// argument's __float__) is printed and continues as an internal failure.
void reraise_fetched_panic();

// Exactly TypeError: replaced by "argument 'name': <text>", keeping __cause__.
void prefix_type_error(const char* parameter);

// The type's qualified name, as the conversion messages quote it.
std::string type_name_of(PyObject* object);

// The entry-point boundary: runs `body` (which returns a new reference or
// throws) and maps every failure to a Python exception and a null result.
// One unwind passes: at shutdown the interpreter ends a thread that wants
// the interpreter back with pthread_exit, whose forced unwind must reach the
// thread's start through every frame (so the boundary is not noexcept).
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  }
#ifdef __GLIBCXX__
  catch (abi::__forced_unwind&) {
    throw;
  }
#endif
  catch (const PythonError&) {
    reraise_fetched_panic();
  } catch (const Raise& error) {
    set_python_error(error);
  } catch (const InternalFailure& failure) {
    set_internal_failure(failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& other) {
    set_internal_failure(other.what());
  } catch (...) {
    set_internal_failure("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace quorvane::frame
