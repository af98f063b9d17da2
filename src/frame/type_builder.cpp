#include "frame/type_builder.hpp"

#include <cstring>
#include <string>

#include "frame/errors.hpp"

namespace quorvane::frame {
namespace {

// Replaces the pending error by a RuntimeError with `message` whose __cause__ is that error.
void wrap_pending(const std::string& message) {
  Ref cause = fetch_exception();
  Ref wrapper = Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
  if (!wrapper) return;
  if (cause) PyException_SetCause(wrapper.get(), cause.release());
  PyErr_SetObject(PyExc_RuntimeError, wrapper.get());
}

bool set_attributes(const ClassTable& table, PyTypeObject* type) {
  std::vector<Ref> members;
  for (const ClassAttribute& attribute : table.attributes) {
    Ref member = table.make_attribute(attribute.value);
    if (!member) {
      wrap_pending(std::string("An error occurred while initializing `") + table.name + "." + attribute.name + "`");
      return false;
    }
    members.push_back(std::move(member));
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), table.attributes[i].name, members[i].get()) < 0) {
      wrap_pending(std::string("An error occurred while initializing `") + table.name + ".__dict__`");
      return false;
    }
  }
  return true;
}

// A class whose __new__ Python code has replaced lets object.__new__(cls)
// through, which would make an instance whose value was never built; the
// module makes its instances without tp_alloc (instance.hpp: emplace).
PyObject* refuse_alloc(PyTypeObject* type, Py_ssize_t) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}

}  // namespace

PyObject* call_like_type_call(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Ref positional = Ref::steal(PyTuple_New(nargs));
  if (!positional) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
  Ref keywords;
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    keywords = Ref::steal(PyDict_New());
    if (!keywords) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    }
  }
  return PyType_Type.tp_call(type, positional.get(), keywords.get());
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyType_GetName(type));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  std::string message = std::string("No constructor defined for ") + (text ? text : "<unknown>");
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

PyTypeObject* ensure_type(const ClassTable& table, std::atomic<PyTypeObject*>& slot) {
  if (PyTypeObject* made_before = slot.load(std::memory_order_acquire)) return made_before;
  const std::string failure = std::string("An error occurred while initializing class ") + table.name;
  // The interpreter may keep pointing at the name it was given, so it is never freed.
  const char* full_name = strdup((std::string("builtins.") + table.name).c_str());
  if (!full_name) {
    PyErr_NoMemory();
    wrap_pending(failure);
    return nullptr;
  }
  const std::string doc = table.text_signature
                              ? std::string(table.name) + table.text_signature + "\n--\n\n" + table.doc
                              : std::string(table.doc);

  std::vector<PyType_Slot> slots = table.slots;
  slots.push_back({Py_tp_alloc, reinterpret_cast<void*>(&refuse_alloc)});
  slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
  if (table.methods) slots.push_back({Py_tp_methods, table.methods});
  if (table.properties) slots.push_back({Py_tp_getset, table.properties});
  slots.push_back({0, nullptr});

  PyType_Spec type_spec{full_name, table.basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  Ref made = Ref::steal(PyType_FromSpec(&type_spec));
  if (!made) {
    wrap_pending(failure);
    return nullptr;
  }
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(made.get());
  // The interpreter calls a class through its tp_vectorcall when set; the
  // classes cannot be subclassed, so no subclass inherits it by mistake.
  if (table.vectorcall) type->tp_vectorcall = table.vectorcall;
  // Published before its members exist: making them needs the type.
  slot.store(type, std::memory_order_release);
  if (!set_attributes(table, type)) {
    slot.store(nullptr, std::memory_order_release);
    made = Ref();
    wrap_pending(failure);
    return nullptr;
  }
  made.release();  // stored for good: the type object lives as long as the process
  return type;
}

}  // namespace quorvane::frame
