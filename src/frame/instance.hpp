// The layout of every instance: the object header, the class's native value,
// then the borrow counter. A value type names its class through PyClass<T>;
// the type object is published once it exists, and threads that make
// instances read it without a lock.
#pragma once
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "frame/errors.hpp"
#include "frame/ref.hpp"

namespace quorvane::frame {

template <class T>
struct PyClass;  // specialised per value type: static constexpr const char* name

template <class T>
struct Instance {
  PyObject_HEAD
  T value;
  std::atomic<std::uintptr_t> borrow;
};

template <class T>
inline std::atomic<PyTypeObject*> registered_type{nullptr};

template <class T>
Instance<T>* as_instance(PyObject* object) {
  return reinterpret_cast<Instance<T>*>(object);
}

template <class T>
bool is_instance(PyObject* object) {
  PyTypeObject* type = registered_type<T>.load(std::memory_order_acquire);
  return type && (Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type));
}

template <class T>
PyTypeObject* type_for_results() {
  PyTypeObject* type = registered_type<T>.load(std::memory_order_acquire);
  if (!type) throw InternalFailure(std::string("failed to create type object for ") + PyClass<T>::name);
  return type;
}

// Up to 64 freed instances of each class wait to be made again, linked
// through their first word: fills and orders are made and dropped by the
// thousand, and the allocator's round trip cost a sweep 15 ns an operation
// from Python. The interpreter lock guards the list, so free-threaded builds,
// which have none, use the allocator alone; so do AddressSanitizer builds,
// which then see every instance's lifetime. No class can be subclassed, so
// every instance of one has the same size.
#if defined(Py_GIL_DISABLED) || defined(__SANITIZE_ADDRESS__)
inline constexpr bool kKeepSpareInstances = false;
#else
inline constexpr bool kKeepSpareInstances = true;
#endif

template <class T>
struct SpareInstances {
  static constexpr int kKept = 64;
  inline static void* head = nullptr;
  inline static int count = 0;
};

template <class T>
void* instance_memory(PyTypeObject* type) {
  if constexpr (kKeepSpareInstances) {
    using Spare = SpareInstances<T>;
    if (void* memory = Spare::head) {
      Spare::head = *static_cast<void**>(memory);
      --Spare::count;
      return memory;
    }
  }
  return PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize));
}

template <class T>
void release_instance_memory(PyObject* object, PyTypeObject* type) {
  if constexpr (kKeepSpareInstances) {
    using Spare = SpareInstances<T>;
    if (Spare::count < Spare::kKept) {
      *reinterpret_cast<void**>(object) = Spare::head;
      Spare::head = object;
      ++Spare::count;
      return;
    }
  }
  type->tp_free(object);
}

// A new instance whose value is built in place from `args`. The value is
// built before the memory becomes an object, so a constructor that throws
// leaves only memory to give back: no reference, counted or not. The class's
// own tp_alloc refuses (type_builder.cpp), so this is the one way to make an
// instance.
template <class T, class... Args>
Ref emplace(Args&&... args) {
  PyTypeObject* type = type_for_results<T>();
  // No class takes part in cyclic garbage collection and every field is
  // built below, so the memory is not zeroed first, as PyType_GenericAlloc
  // would: about 60 instructions of each object made.
  void* memory = instance_memory<T>(type);
  if (!memory) {
    PyErr_NoMemory();
    throw_pending();
  }
  auto* object = static_cast<PyObject*>(memory);
  auto* self = as_instance<T>(object);
  try {
    new (&self->value) T(std::forward<Args>(args)...);
  } catch (...) {
    PyObject_Free(memory);
    throw;
  }
  new (&self->borrow) std::atomic<std::uintptr_t>(0);
  return Ref::steal(PyObject_Init(object, type));
}

// The value of an instance that no other code holds yet, to be written in
// place without taking access.
template <class T>
T& unshared_value(const Ref& object) {
  return as_instance<T>(object.get())->value;
}

// A new instance holding `value`.
template <class T>
Ref wrap(T value) {
  return emplace<T>(std::move(value));
}

template <class T>
void instance_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  as_instance<T>(object)->value.~T();
  release_instance_memory<T>(object, type);
  Py_DECREF(type);
}

}  // namespace quorvane::frame
