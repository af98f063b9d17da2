// The order record and the fill record, and the operations that make them.
// A record is a plain value: copying it copies the id.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

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
static_assert(sizeof(OrderRecord) == 48, "records are kept compact: the book stores two per resting order");

// One trade between two orders, as the matching step makes it.
struct Trade {
  double quantity = 0.0;
  double price = 0.0;
  std::uint64_t timestamp = 0;
  OrderId buy_id;
  OrderId sell_id;
};

// A fill as Python sees it: built from a trade, or from any texts a caller gives.
struct FillRecord {
  double quantity = 0.0;
  double price = 0.0;
  std::string buy_id;
  std::string sell_id;
  std::uint64_t timestamp = 0;

  FillRecord() = default;
  FillRecord(double q, double p, std::string_view buy, std::string_view sell, std::uint64_t ts)
      : quantity(q), price(p), buy_id(buy), sell_id(sell), timestamp(ts) {}
  explicit FillRecord(const Trade& t)
      : FillRecord(t.quantity, t.price, t.buy_id.text(), t.sell_id.text(), t.timestamp) {}
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

// The pairwise trade between `self` (in the book: the resting order) and
// `incoming`. Returns false and changes nothing when they do not match; the
// orders change only after the clock has been read successfully.
bool fill_step(OrderRecord& self, OrderRecord& incoming, double tick_size, Trade& out);

}  // namespace quorvane
