// The OrderBook class: the engine's book behind the call frame.
#include <string>
#include <utility>

#include "frame/borrow.hpp"
#include "frame/call.hpp"
#include "frame/convert.hpp"
#include "lib/classes.hpp"

namespace quorvane::lib {
namespace {

using namespace frame;

constexpr Params<1> new_params{"OrderBook.__new__()", {"tick_size"}, 0};
constexpr Params<3> create_order_params{"OrderBook.create_order()", {"side", "price", "quantity"}};
constexpr Params<1> add_params{"OrderBook.add()", {"incoming_order"}};
constexpr Params<1> cancel_params{"OrderBook.cancel()", {"order_id"}};
constexpr Params<1> get_order_params{"OrderBook.get_order()", {"order_id"}};
constexpr Params<1> update_order_params{"OrderBook.update_order()", {"order"}};

Ref book_new(const Args<1>& args) {
  const double tick_size = args.given(0) ? args.convert(0, to_double) : 0.01;
  return wrap(Book(tick_size));
}

Ref book_create_order(PyObject* self, const Args<3>& args) {
  Shared<Book> book(self);
  const Side side = args.convert(0, read_side);
  const double price = args.convert(1, to_double);
  const double quantity = args.convert(2, to_double);
  Ref order = emplace<OrderRecord>();
  if (Rejection r = book->create_order(side, price, quantity, unshared_value<OrderRecord>(order));
      r != Rejection::None) {
    raise(PyExc_ValueError, rejection_message(r));
  }
  return order;
}

// Most adds trade nothing and return an empty list. The last such list is
// kept and handed out again once every caller has let it go (it is then the
// only reference and still empty), as the interpreter's own iterators reuse
// their result tuples: making and freeing a list costs about 170 of the
// interpreter's instructions. It is kept by the module, not by a book, so
// that no book holds a Python object. A kept list a caller filled and dropped
// is replaced and released in `dropped`, after the book, since freeing its
// items may run any code. Free-threaded builds cannot tell "only reference"
// cheaply, so they make a new list each time.
Ref empty_result([[maybe_unused]] Ref& dropped) {
#ifndef Py_GIL_DISABLED
  static PyObject* kept = nullptr;  // under the GIL; lives as long as the process
  if (kept && Py_REFCNT(kept) == 1 && PyList_GET_SIZE(kept) == 0) return Ref::share(kept);
  Ref list = new_container([] { return PyList_New(0); });
  dropped = Ref::steal(std::exchange(kept, Py_NewRef(list.get())));
  return list;
#else
  return new_container([] { return PyList_New(0); });
#endif
}

Ref book_add(PyObject* self, const Args<1>& args) {
  Ref dropped;  // released after the book
  Exclusive<Book> book(self);
  const OrderRecord incoming = args.convert(0, copy_value<OrderRecord>);
  std::span<const Trade> trades = book->add(incoming);
  if (trades.empty()) return empty_result(dropped);
  return py_list(trades.size(), [&](std::size_t i) { return emplace<FillRecord>(trades[i]); });
}

Ref book_cancel(PyObject* self, const Args<1>& args) {
  Exclusive<Book> book(self);
  const std::optional<OrderId> id = OrderId::parse(args.convert(0, to_text));
  return py_bool(id && book->cancel(*id));
}

Ref book_get_order(PyObject* self, const Args<1>& args) {
  Shared<Book> book(self);
  const std::optional<OrderId> id = OrderId::parse(args.convert(0, to_text));
  const std::optional<OrderRecord> record = id ? book->find(*id) : std::nullopt;
  return record ? wrap(*record) : py_none();
}

Ref book_update_order(PyObject* self, const Args<1>& args) {
  Exclusive<Book> book(self);
  Shared<OrderRecord> order = args.convert(0, hold_shared<OrderRecord>);
  book->update(*order);
  return py_none();
}

Ref side_orders(PyObject* self, Side side) {
  Shared<Book> book(self);
  const std::size_t count = book->resting_count(side);
  Ref list = new_container([&] { return PyList_New(static_cast<Py_ssize_t>(count)); });
  Py_ssize_t i = 0;
  book->walk(side, [&](const OrderRecord& r) { PyList_SET_ITEM(list.get(), i++, wrap(r).release()); });
  if (i != static_cast<Py_ssize_t>(count)) throw InternalFailure("order list length does not match the book");
  return list;
}

Ref book_buy_orders(PyObject* self) { return side_orders(self, Side::Buy); }
Ref book_sell_orders(PyObject* self) { return side_orders(self, Side::Sell); }

Ref top_of_book(const std::optional<TopOfBook>& top) {
  if (!top) return py_none();
  return py_pair(py_int(top->price_in_ticks), py_float(top->quantity));
}

Ref book_best_bid(PyObject* self) { return top_of_book(Shared<Book>(self)->best_bid()); }
Ref book_best_ask(PyObject* self) { return top_of_book(Shared<Book>(self)->best_ask()); }
Ref book_buy_volume(PyObject* self) { return py_float(Shared<Book>(self)->volume(Side::Buy)); }
Ref book_sell_volume(PyObject* self) { return py_float(Shared<Book>(self)->volume(Side::Sell)); }
Ref book_spread(PyObject* self) {
  const std::optional<double> spread = Shared<Book>(self)->spread();
  return spread ? py_float(*spread) : py_none();
}
Ref book_tick_size(PyObject* self) { return py_float(Shared<Book>(self)->tick_size()); }
Ref book_repr(PyObject* self) { return py_text(Shared<Book>(self)->summary()); }

PyMethodDef book_methods[] = {
    QUORVANE_METHOD("create_order", create_order_params, book_create_order,
                    "create_order(self, side, price, quantity)\n--\n\n"
                    "Creates an order (but does not add to the book) based off the book's tick size."),
    QUORVANE_METHOD("add", add_params, book_add,
                    "add(self, order)\n--\n\nAdds an order to the book, attempting to match it with resting orders."),
    QUORVANE_METHOD("cancel", cancel_params, book_cancel, "cancel(self, order_id)\n--\n\nCancels an order by its ID."),
    QUORVANE_METHOD("get_order", get_order_params, book_get_order,
                    "get_order(self, order_id)\n--\n\nRetrieves an order by its ID. Returns None if the order is not found."),
    QUORVANE_METHOD("update_order", update_order_params, book_update_order,
                    "update_order($self, order)\n--\n\nHelper method to update an order in the `orders` map."),
    QUORVANE_NOARGS("best_bid", book_best_bid, "best_bid($self)\n--\n\nHelper method to get best bid"),
    QUORVANE_NOARGS("best_ask", book_best_ask, "best_ask($self)\n--\n\nHelper method to get best ask"),
    QUORVANE_NOARGS("buy_volume", book_buy_volume, "buy_volume($self)\n--\n\nHelper method to calculate total buy volume"),
    QUORVANE_NOARGS("sell_volume", book_sell_volume,
                    "sell_volume($self)\n--\n\nHelper method to calculate total sell volume"),
    QUORVANE_NOARGS("spread", book_spread,
                    "spread($self)\n--\n\nCalculate the current spread in the order book.\n"
                    "Returns None if there are no orders on either side.\n"
                    "The spread is returned in the same units as the prices (not ticks)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef book_properties[] = {
    QUORVANE_PROPERTY("buy_orders", book_buy_orders, "Get a list of all buy orders"),
    QUORVANE_PROPERTY("sell_orders", book_sell_orders, "Get a list of all sell orders"),
    QUORVANE_PROPERTY("tick_size", book_tick_size, "Return the tick size for informational purposes"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const ClassTable& book_class() {
  static const ClassTable table = value_class<Book>(
      "Represents the main order book for matching buy and sell orders.", "(tick_size=0.01)",
      constructor<new_params, book_new>, &unary<book_repr>, book_methods, book_properties);
  return table;
}

}  // namespace quorvane::lib
