// The Fill class: the record of one trade, built by the matching step or by
// Python from any five values.
#include <string>

#include "frame/borrow.hpp"
#include "frame/call.hpp"
#include "frame/convert.hpp"
#include "lib/classes.hpp"
#include "model/number_text.hpp"

namespace quorvane::lib {
namespace {

using namespace frame;

constexpr Params<5> new_params{"Fill.__new__()", {"quantity", "price", "buy_id", "sell_id", "timestamp"}};

Ref fill_new(const Args<5>& args) {
  const double quantity = args.convert(0, to_double);
  const double price = args.convert(1, to_double);
  const std::string_view buy_id = args.convert(2, to_text);
  const std::string_view sell_id = args.convert(3, to_text);
  const std::uint64_t timestamp = args.convert(4, to_uint64);
  return emplace<FillRecord>(quantity, price, buy_id, sell_id, timestamp);
}

Ref fill_repr(PyObject* self) {
  Shared<FillRecord> fill(self);
  std::string text = "[";
  append_fixed(text, fill->quantity, 2);
  text += " @ ";
  append_fixed(text, fill->price, 2);
  text += "] Buy: ";
  append_id_text(text, fill->buy_id);
  text += ", Sell: ";
  append_id_text(text, fill->sell_id);
  text += ", Filled at ";
  append_integer(text, static_cast<unsigned long long>(fill->timestamp));
  return py_text(text);
}

Ref fill_quantity(PyObject* self) { return py_float(Shared<FillRecord>(self)->quantity); }
Ref fill_price(PyObject* self) { return py_float(Shared<FillRecord>(self)->price); }
Ref id_text(const IdText& id) {
  if (const auto* text = std::get_if<std::string>(&id)) return py_text(*text);
  return py_id(std::get<OrderId>(id));
}

Ref fill_buy_id(PyObject* self) { return id_text(Shared<FillRecord>(self)->buy_id); }
Ref fill_sell_id(PyObject* self) { return id_text(Shared<FillRecord>(self)->sell_id); }
Ref fill_timestamp(PyObject* self) { return py_uint(Shared<FillRecord>(self)->timestamp); }

PyGetSetDef fill_properties[] = {
    QUORVANE_PROPERTY("quantity", fill_quantity, "Getter for the quantity filled."),
    QUORVANE_PROPERTY("price", fill_price, "Getter for the fill price."),
    QUORVANE_PROPERTY("buy_id", fill_buy_id, "Getter for the buy order ID."),
    QUORVANE_PROPERTY("sell_id", fill_sell_id, "Getter for the sell order ID."),
    QUORVANE_PROPERTY("timestamp", fill_timestamp, "Getter for the fill timestamp."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const ClassTable& fill_class() {
  static const ClassTable table = value_class<FillRecord>(
      "Represents a match (fill) between two orders.\n"
      "Tracks details such as the quantity, price, and the involved order IDs.",
      "(quantity, price, buy_id, sell_id, timestamp)", constructor<new_params, fill_new>, &unary<fill_repr>, nullptr,
      fill_properties);
  return table;
}

}  // namespace quorvane::lib
