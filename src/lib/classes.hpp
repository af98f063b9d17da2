// The five classes: each value type is tied to its Python class here, and
// each class has one declarative description in its own file.
#pragma once
#include "book/book.hpp"
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

const frame::ClassSpec& order_class();
const frame::ClassSpec& fill_class();
const frame::ClassSpec& book_class();
const frame::ClassSpec& order_type_class();
const frame::ClassSpec& order_status_class();

// Reads an OrderType argument's byte under shared access.
Side read_side(PyObject* object);

}  // namespace quorvane::lib
