// The Order class: one order record, its properties and the pairwise
// operations can_match and fill.
#include <string>

#include "frame/borrow.hpp"
#include "frame/call.hpp"
#include "frame/convert.hpp"
#include "lib/classes.hpp"
#include "model/number_text.hpp"

namespace quorvane::lib {
namespace {

using namespace frame;

constexpr Params<3> new_params{"Order.__new__()", {"side", "price_in_ticks", "quantity"}};
constexpr Params<1> can_match_params{"Order.can_match()", {"other"}};
constexpr Params<2> fill_params{"Order.fill()", {"incoming", "tick_size"}};

Ref order_new(const Args<3>& args) {
  const Side side = args.convert(0, read_side);
  const std::int64_t price_in_ticks = args.convert(1, to_int64);
  const double quantity = args.convert(2, to_double);
  Ref order = emplace<OrderRecord>();
  if (Rejection r = make_order(side, price_in_ticks, quantity, unshared_value<OrderRecord>(order));
      r != Rejection::None) {
    raise(PyExc_ValueError, rejection_message(r));
  }
  return order;
}

Ref order_repr(PyObject* self) {
  Shared<OrderRecord> order(self);
  std::string text = "[";
  text += side_name(order->side);
  text += ' ';
  append_shortest(text, order->quantity);
  text += " @ ";
  append_integer(text, static_cast<long long>(order->price_in_ticks));
  text += "] [";
  order->id.append_text(text);
  text += ", placed at ";
  append_integer(text, static_cast<unsigned long long>(order->timestamp));
  text += ']';
  return py_text(text);
}

Ref order_can_match(PyObject* self, const Args<1>& args) {
  Shared<OrderRecord> order(self);
  Shared<OrderRecord> other = args.convert(0, hold_shared<OrderRecord>);
  return py_bool(can_match(*order, *other));
}

Ref order_fill(PyObject* self, const Args<2>& args) {
  Exclusive<OrderRecord> order(self);
  Exclusive<OrderRecord> incoming = args.convert(0, hold_exclusive<OrderRecord>);
  const double tick_size = args.convert(1, to_double);
  // The step runs on copies, and the orders change only once the Fill
  // exists: a Fill that cannot be made leaves both as they were.
  OrderRecord order_after = *order;
  OrderRecord incoming_after = *incoming;
  Trade trade;
  if (!fill_step(order_after, incoming_after, tick_size, trade)) return py_none();
  Ref fill = emplace<FillRecord>(trade);
  *order = order_after;
  *incoming = incoming_after;
  return fill;
}

Ref order_is_open(PyObject* self) { return py_bool(Shared<OrderRecord>(self)->is_open()); }

Ref order_id(PyObject* self) { return py_id(Shared<OrderRecord>(self)->id); }
Ref order_side(PyObject* self) { return wrap(Shared<OrderRecord>(self)->side); }
Ref order_price_in_ticks(PyObject* self) { return py_int(Shared<OrderRecord>(self)->price_in_ticks); }
Ref order_quantity(PyObject* self) { return py_float(Shared<OrderRecord>(self)->quantity); }
Ref order_status(PyObject* self) { return wrap(Shared<OrderRecord>(self)->status); }
Ref order_timestamp(PyObject* self) { return py_uint(Shared<OrderRecord>(self)->timestamp); }

PyMethodDef order_methods[] = {
    QUORVANE_METHOD("can_match", can_match_params, order_can_match,
                    "can_match(self, other)\n--\n\nDetermines whether this order can match with another order.\n\n"
                    "# Arguments\n- `other`: The other order to match against.\n\n# Returns\n"
                    "- `true` if the orders are on opposite sides and the prices are compatible."),
    QUORVANE_METHOD("fill", fill_params, order_fill,
                    "fill($self, incoming, tick_size)\n--\n\nAttempts to fill this order with another incoming order.\n"
                    "Updates the quantities and statuses of both orders."),
    QUORVANE_NOARGS("is_open", order_is_open, "is_open($self)\n--\n\nChecks if the order is still open."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef order_properties[] = {
    QUORVANE_PROPERTY("id", order_id, "Getter for the order ID."),
    QUORVANE_PROPERTY("side", order_side, "Getter for the order side."),
    QUORVANE_PROPERTY("price_in_ticks", order_price_in_ticks, "Getter for the price in ticks."),
    QUORVANE_PROPERTY("quantity", order_quantity, "Getter for the quantity."),
    QUORVANE_PROPERTY("status", order_status, "Getter for the order status."),
    QUORVANE_PROPERTY("timestamp", order_timestamp, "Getter for the timestamp."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const ClassTable& order_class() {
  static const ClassTable table = value_class<OrderRecord>(
      "Represents a single order in the order book.\n"
      "Contains details such as price, quantity, side (Buy/Sell), and status.",
      "(side, price_in_ticks, quantity)", constructor<new_params, order_new>, &unary<order_repr>, order_methods,
      order_properties);
  return table;
}

}  // namespace quorvane::lib
