// The module entry: binds the module to the first interpreter that imports
// it, creates the module once and registers the five classes in __all__.
// On a free-threaded build the module declares that it runs without the
// interpreter lock: every object guards itself with its borrow counter, and
// the process-wide state is made under the entry's own lock or atomically.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "frame/errors.hpp"
#include "frame/ref.hpp"
#include "lib/classes.hpp"

namespace quorvane::lib {
namespace {

using frame::Ref;

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* the_module = nullptr;

#ifdef Py_GIL_DISABLED
// Without the interpreter lock two imports may run the entry at once; they
// take turns. A PyMutex lets the interpreter pause a waiting thread (for a
// collection) where a C++ mutex would deadlock it.
PyMutex entry_lock = {0};
struct EntryTurn {
  EntryTurn() { PyMutex_Lock(&entry_lock); }
  ~EntryTurn() { PyMutex_Unlock(&entry_lock); }
  EntryTurn(const EntryTurn&) = delete;
  EntryTurn& operator=(const EntryTurn&) = delete;
};
#else
struct EntryTurn {};  // the interpreter lock already lets one entry run at a time
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quorvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

struct Registration {
  const frame::ClassTable& (*table)();
  std::atomic<PyTypeObject*>& type;
};

bool register_class(PyObject* module, const frame::ClassTable& table, std::atomic<PyTypeObject*>& slot) {
  PyTypeObject* type = frame::ensure_type(table, slot);
  if (!type) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    std::string message = "'" + frame::type_name_of(all.get()) + "' object cannot be converted to 'PyList'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  Ref name = Ref::steal(PyUnicode_FromString(table.name));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyModule_AddObjectRef(module, table.name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* initialise() {
  // The C++ runtime sets up a thread's exception state at its first throw.
  // Thrown first when memory has run out, that set-up itself fails and the
  // process aborts; so the importing thread throws once now.
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
  [[maybe_unused]] const EntryTurn turn;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) frame::throw_pending();
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "quorvane does not yet support sub-interpreters: it can only be imported by the first "
                    "interpreter of a process; see the project's issue tracker for sub-interpreter support");
    return nullptr;
  }
  if (the_module) return Py_NewRef(the_module);

  Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
  const Registration classes[] = {
      {order_class, frame::registered_type<OrderRecord>},
      {fill_class, frame::registered_type<FillRecord>},
      {book_class, frame::registered_type<Book>},
      {order_type_class, frame::registered_type<Side>},
      {order_status_class, frame::registered_type<Status>},
  };
  for (const Registration& r : classes) {
    if (!register_class(module.get(), r.table(), r.type)) return nullptr;
  }
  if (!the_module) the_module = module.release();
  return Py_NewRef(the_module);
}

}  // namespace
}  // namespace quorvane::lib

PyMODINIT_FUNC PyInit_quorvane(void) {
  return quorvane::frame::guarded([] { return quorvane::lib::initialise(); });
}
