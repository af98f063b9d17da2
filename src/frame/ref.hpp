// An owning reference to a Python object. The named constructors say what
// happens to the count; get() borrows, release() hands the reference over.
#pragma once
#include <Python.h>

#include <utility>

namespace quorvane::frame {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (as returned by most C API calls); may be null.
  static Ref steal(PyObject* object) { return Ref(object); }
  // Adds a reference to a borrowed object.
  static Ref share(PyObject* object) { return Ref(Py_XNewRef(object)); }

  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quorvane::frame
