// The order record and the fill record, and the operations that make them.
// A record is a plain value: copying it copies the id.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "model/enums.hpp"
#include "model/failure.hpp"
#include "model/order_id.hpp"

namespace quorvane {

struct OrderRecord {
  OrderId id;
  std::int64_t price_in_ticks = 0;
  double quantity = 0.0;
  std::uint64_t timestamp = 0;
  Side side = Side::Buy;
  Status status = Status::Open;

  bool is_open() const { return status == Status::Open; }
};

// One trade between two orders, as the matching step makes it.
struct Trade {
  double quantity = 0.0;
  double price = 0.0;
  std::uint64_t timestamp = 0;
  OrderId buy_id;
  OrderId sell_id;
};

// An id in a fill: an order's id as the engine made it (rendered when read,
// so a trade's fill costs no allocation), or any text a caller gave.
using IdText = std::variant<OrderId, std::string>;

void append_id_text(std::string& out, const IdText& id);

// A fill as Python sees it: built from a trade, or from any values a caller gives.
struct FillRecord {
  double quantity = 0.0;
  double price = 0.0;
  IdText buy_id;
  IdText sell_id;
  std::uint64_t timestamp = 0;

  FillRecord(double q, double p, std::string_view buy, std::string_view sell, std::uint64_t ts)
      : quantity(q), price(p), buy_id(std::string(buy)), sell_id(std::string(sell)), timestamp(ts) {}
  explicit FillRecord(const Trade& t)
      : quantity(t.quantity), price(t.price), buy_id(t.buy_id), sell_id(t.sell_id), timestamp(t.timestamp) {}
};

// Nanoseconds since the Unix epoch on the real-time clock, wrapping in 64 bits.
// Throws InternalFailure ("Time went backwards: ...") before the epoch.
std::uint64_t wall_clock_ns();

// 16 random bytes as a version-4 UUID. Throws InternalFailure when the
// entropy source fails.
OrderId new_order_id();

// Validates and stamps a new order. On rejection `out` is untouched and no
// entropy or clock is consumed.
Rejection make_order(Side side, std::int64_t price_in_ticks, double quantity, OrderRecord& out);

// True when one is a buy, the other a sell, and the buy's price is at least the sell's.
inline bool can_match(const OrderRecord& self, const OrderRecord& other) {
  if (self.side == other.side) return false;
  return self.side == Side::Buy ? self.price_in_ticks >= other.price_in_ticks
                                : self.price_in_ticks <= other.price_in_ticks;
}

// The quantity one fill step trades: the smaller of two quantities, where a
// NaN loses to a number.
inline double matched_quantity(double a, double b) {
  if (a != a) return b;
  if (b != b) return a;
  return b < a ? b : a;
}

// The pairwise trade between `self` (in the book: the resting order) and
// `incoming`. Returns false and changes nothing when they do not match; the
// orders change only after the clock has been read successfully.
bool fill_step(OrderRecord& self, OrderRecord& incoming, double tick_size, Trade& out);

}  // namespace quorvane
