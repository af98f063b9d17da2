// OrderType and OrderStatus: one byte each, compared by value with each other
// and with integers, unhashable, made only by the module.
#include <array>
#include <string>

#include "frame/borrow.hpp"
#include "frame/call.hpp"
#include "frame/convert.hpp"
#include "lib/classes.hpp"

namespace quorvane::lib {
namespace {

using namespace frame;

template <class E>
Ref enum_repr(PyObject* self) {
  Shared<E> value(self);
  std::string text = std::string(PyClass<E>::name) + ".";
  if constexpr (std::is_same_v<E, Side>) {
    text += side_name(*value);
  } else {
    text += status_name(*value);
  }
  return py_text(text);
}

template <class E>
Ref enum_int(PyObject* self) {
  return py_int(static_cast<std::int64_t>(*Shared<E>(self)));
}

template <class E>
Ref equality_result(int op, bool equal) {
  if (op == Py_EQ) return py_bool(equal);
  if (op == Py_NE) return py_bool(!equal);
  return Ref::share(Py_NotImplemented);
}

// Equal to a member of the same value or to an integer of that value; any
// other comparison is left to the interpreter (NotImplemented).
template <class E>
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded([&]() -> PyObject* {
    std::int64_t mine;
    try {
      mine = static_cast<std::int64_t>(*Shared<E>(self));
    } catch (const Raise&) {
      return Py_NewRef(Py_NotImplemented);
    }
    if (op < Py_LT || op > Py_GE) return Py_NewRef(Py_NotImplemented);
    if (is_instance<E>(other)) {
      return equality_result<E>(op, mine == static_cast<std::int64_t>(*Shared<E>(other))).release();
    }
    long theirs = PyLong_AsLong(other);
    if (theirs == -1 && PyErr_Occurred()) {
      // Not an integer, or out of range: not comparable. Anything else an
      // __index__ raised (KeyboardInterrupt, MemoryError) is the caller's.
      if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
        throw PythonError{};
      }
      PyErr_Clear();
      return Py_NewRef(Py_NotImplemented);
    }
    return equality_result<E>(op, mine == theirs).release();
  });
}

template <class E>
Ref make_member(std::uint8_t value) {
  try {
    return wrap(static_cast<E>(value));
  } catch (const PythonError&) {
    return Ref();
  }
}

template <class E>
ClassTable enum_table(const char* doc, std::span<const ClassAttribute> members) {
  ClassTable table = value_class<E>(doc, nullptr, Constructor{&no_constructor, nullptr}, &unary<enum_repr<E>>);
  table.slots.push_back({Py_nb_int, reinterpret_cast<void*>(&unary<enum_int<E>>)});
  table.slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare<E>)});
  table.attributes = members;
  table.make_attribute = &make_member<E>;
  return table;
}

constexpr std::array<ClassAttribute, 2> side_members{{{"Buy", 0}, {"Sell", 1}}};
constexpr std::array<ClassAttribute, 3> status_members{{{"Open", 0}, {"Filled", 1}, {"Canceled", 2}}};

}  // namespace

Side read_side(PyObject* object) { return copy_value<Side>(object); }

const ClassTable& order_type_class() {
  static const ClassTable table = enum_table<Side>("Represents the side of an order: either Buy or Sell.", side_members);
  return table;
}

const ClassTable& order_status_class() {
  static const ClassTable table = enum_table<Status>("Represents the current status of an order.", status_members);
  return table;
}

}  // namespace quorvane::lib
