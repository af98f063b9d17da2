// Per-object access control. Each instance carries a counter: 0 free, n
// shared accesses, all ones one exclusive access. The guards take access in
// their constructor and give it back in their destructor, so every exit path
// of a call releases what it took.
#pragma once
#include <atomic>
#include <cstdint>
#include <limits>

#include "frame/instance.hpp"

namespace quorvane::frame {

constexpr std::uintptr_t kExclusive = std::numeric_limits<std::uintptr_t>::max();

// With the GIL, only the thread holding it reads or writes a counter, and
// taking the GIL over orders memory between threads: plain loads and stores
// suffice. A locked read-modify-write costs about 2 ns, and a call takes up
// to four, so only free-threaded builds pay for them.
#ifdef Py_GIL_DISABLED
inline constexpr bool kAtomicAccess = true;
#else
inline constexpr bool kAtomicAccess = false;
#endif

// Moves `counter` from `seen` to `next`; false, with `seen` reloaded, when
// another thread changed it first (only where threads run at once).
inline bool advance(std::atomic<std::uintptr_t>& counter, std::uintptr_t& seen, std::uintptr_t next) {
  if constexpr (kAtomicAccess) {
    return counter.compare_exchange_weak(seen, next, std::memory_order_acquire, std::memory_order_relaxed);
  }
  counter.store(next, std::memory_order_relaxed);
  return true;
}

[[noreturn]] void throw_not_instance(PyObject* object, const char* class_name);

template <class T>
Instance<T>* checked_instance(PyObject* object) {
  if (!is_instance<T>(object)) throw_not_instance(object, PyClass<T>::name);
  return as_instance<T>(object);
}

template <class T>
class Shared {
 public:
  explicit Shared(PyObject* object) : self_(checked_instance<T>(object)) {
    std::uintptr_t seen = self_->borrow.load(std::memory_order_relaxed);
    do {
      if (seen == kExclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!advance(self_->borrow, seen, seen + 1));
  }
  ~Shared() {
    if constexpr (kAtomicAccess) {
      self_->borrow.fetch_sub(1, std::memory_order_release);
    } else {
      self_->borrow.store(self_->borrow.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

  const T& operator*() const { return self_->value; }
  const T* operator->() const { return &self_->value; }

 private:
  Instance<T>* self_;
};

template <class T>
class Exclusive {
 public:
  explicit Exclusive(PyObject* object) : self_(checked_instance<T>(object)) {
    std::uintptr_t seen = self_->borrow.load(std::memory_order_relaxed);
    do {
      if (seen != 0) raise(PyExc_RuntimeError, "Already borrowed");
    } while (!advance(self_->borrow, seen, kExclusive));
  }
  ~Exclusive() { self_->borrow.store(0, std::memory_order_release); }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;

  T& operator*() const { return self_->value; }
  T* operator->() const { return &self_->value; }

 private:
  Instance<T>* self_;
};

// Argument conversions that keep the access for the rest of the call.
template <class T>
Shared<T> hold_shared(PyObject* object) {
  return Shared<T>(object);
}
template <class T>
Exclusive<T> hold_exclusive(PyObject* object) {
  return Exclusive<T>(object);
}

// Copies the value out under shared access that ends with the copy.
template <class T>
T copy_value(PyObject* object) {
  Shared<T> access(object);
  return *access;
}

}  // namespace quorvane::frame
