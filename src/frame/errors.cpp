#include "frame/errors.hpp"

#include <atomic>

namespace quorvane::frame {
namespace {

// Made on first need, by whichever thread fails first; should two threads
// race, the first class stored wins and the other is dropped, so that every
// PanicException is an instance of the one class.
std::atomic<PyObject*> panic_class{nullptr};

constexpr const char* kPanicDoc =
    "Raised when the native code of this module fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally propagates all the way up and ends the interpreter.";

void restore_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

// When not even the exception can be made, the interpreter's own error
// (a MemoryError, in practice) is what the call raises.
void keep_pending_error() {
  if (!PyErr_Occurred()) PyErr_NoMemory();
}

}  // namespace

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return Ref();
  PyErr_NormalizeException(&type, &value, &traceback);
  const Ref owned_type = Ref::steal(type), owned_traceback = Ref::steal(traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  return Ref::steal(value);
#endif
}

[[noreturn]] void throw_pending() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  throw PythonError{};
}

PyObject* panic_type() {
  PyObject* stored = panic_class.load(std::memory_order_acquire);
  if (stored) return stored;
  Ref made = Ref::steal(PyErr_NewExceptionWithDoc("velk_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
  if (!made) return nullptr;
  if (panic_class.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel)) return made.release();
  return stored;  // another thread's class won; ours goes with `made`
}

void set_python_error(const Raise& error) {
  Ref message = Ref::steal(PyUnicode_FromStringAndSize(error.message.data(), error.message.size()));
  if (!message) return keep_pending_error();
  if (!PyExceptionClass_Check(error.type)) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return;
  }
  PyErr_SetObject(error.type, message.get());
}

void set_internal_failure(const char* text) {
  PyObject* type = panic_type();
  if (!type) return keep_pending_error();
  set_python_error(Raise{type, text});
}

void reraise_fetched_panic() {
  PyObject* panic = panic_class.load(std::memory_order_acquire);
  if (!panic || !PyErr_ExceptionMatches(panic)) return;
  Ref exception = fetch_exception();
  Ref text = Ref::steal(PyObject_Str(exception.get()));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  std::string failure = utf8 ? utf8 : "PanicException";
  PyErr_Clear();
  restore_exception(std::move(exception));
  PyErr_Print();
  set_internal_failure(failure.c_str());
}

void prefix_type_error(const char* parameter) {
  if (!PyErr_Occurred() || PyErr_Occurred() != PyExc_TypeError) return;
  Ref original = fetch_exception();
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(original));
    return;
  }
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return;
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) return;
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  restore_exception(std::move(replacement));
}

std::string type_name_of(PyObject* object) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return utf8;
}

}  // namespace quorvane::frame
