// The five classes: each value type is tied to its Python class here, and
// each class has one declarative description in its own file.
#pragma once
#include "book/book.hpp"
#include "frame/convert.hpp"
#include "frame/instance.hpp"
#include "frame/type_builder.hpp"
#include "model/enums.hpp"
#include "model/order.hpp"

namespace quorvane::frame {
template <>
struct PyClass<OrderRecord> {
  static constexpr const char* name = "Order";
};
template <>
struct PyClass<FillRecord> {
  static constexpr const char* name = "Fill";
};
template <>
struct PyClass<Book> {
  static constexpr const char* name = "OrderBook";
};
template <>
struct PyClass<Side> {
  static constexpr const char* name = "OrderType";
};
template <>
struct PyClass<Status> {
  static constexpr const char* name = "OrderStatus";
};
}  // namespace quorvane::frame

namespace quorvane::lib {

// The description shared by every class: the constructor, deallocation and
// repr slots, and the layout of an instance holding a T.
template <class T>
frame::ClassTable value_class(const char* doc, const char* text_signature, frame::Constructor make,
                             reprfunc tp_repr, PyMethodDef* methods = nullptr, PyGetSetDef* properties = nullptr) {
  return frame::ClassTable{
      frame::PyClass<T>::name,
      doc,
      text_signature,
      sizeof(frame::Instance<T>),
      {
          {Py_tp_new, reinterpret_cast<void*>(make.tp_new)},
          {Py_tp_dealloc, reinterpret_cast<void*>(&frame::instance_dealloc<T>)},
          {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
      },
      methods,
      properties,
      {},
      nullptr,
      make.vectorcall,
  };
}

const frame::ClassTable& order_class();
const frame::ClassTable& fill_class();
const frame::ClassTable& book_class();
const frame::ClassTable& order_type_class();
const frame::ClassTable& order_status_class();

// Reads an OrderType argument's byte under shared access.
Side read_side(PyObject* object);

// An id's 36-character text as a new str.
inline frame::Ref py_id(const OrderId& id) {
  return frame::py_ascii(OrderId::text_size, [&](char* out) { id.write_text(out); });
}

}  // namespace quorvane::lib
