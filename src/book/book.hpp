// The order book of one instrument: an index of order records by id, and the
// resting orders of each side in price levels (ascending price in ticks), each
// level a FIFO queue. A resting order exists twice: its record in the index
// and its queue copy in a level, which knows where the record is kept;
// matching keeps the two equal, update() writes only the record.
//
// Invariants (checked by check_invariants()):
//  1. a level exists only while its queue is non-empty;
//  2. bids hold only Buy orders, asks only Sell orders, each under its own
//     price, all Open;
//  3. queues keep arrival order; a partly filled order keeps its place;
//  4. records agree with queue copies except where update(), or an add of an
//     order that was already recorded, made them differ.
//
// Operations give the strong guarantee against bad_alloc except add(), which
// keeps the invariants and the trades already made.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "book/containers.hpp"
#include "model/order.hpp"

#ifdef QUORVANE_CHECK_INVARIANTS
#include <unordered_set>
#endif

namespace quorvane {

struct TopOfBook {
  std::int64_t price_in_ticks;
  double quantity;  // of the order at the front of the level, not the level's total
};

class Book {
 public:
  explicit Book(double tick_size = 0.01) : tick_size_(tick_size), orders_(std::make_unique<OrderStore>()) {
    spare_queues_.reserve(kSpareQueues);
  }

  double tick_size() const { return tick_size_; }

  // The price in ticks for `price` units: true division, rounded half away
  // from zero, saturated to 64 bits.
  std::int64_t ticks_for(double price) const;
  // A new Open order on the tick grid; the book is not changed.
  Rejection create_order(Side side, double price, double quantity, OrderRecord& out) const;

  // Matches `incoming` against the opposite side, rests what remains, and
  // returns the trades in step order (valid until the next add).
  std::span<const Trade> add(const OrderRecord& incoming);
  bool cancel(const OrderId& id);
  const OrderRecord* find(const OrderId& id) const;
  void update(const OrderRecord& record);

  const PriceLevels& levels(Side side) const { return side == Side::Buy ? bids_ : asks_; }
  std::size_t resting_count(Side side) const;
  // Visits a side's queue copies by ascending price, each level front to back.
  template <class F>
  void walk(Side side, F&& visit) const {
    for (const auto& [price, queue] : levels(side)) queue.for_each(visit);
  }

  std::optional<TopOfBook> best_bid() const;
  std::optional<TopOfBook> best_ask() const;
  double volume(Side side) const;  // summed in walk order from -0.0
  std::optional<double> spread() const;
  std::string summary() const;

  std::size_t order_count() const { return orders_->size(); }

  // The first broken invariant, described; nothing when all hold.
  std::optional<std::string> check_invariants() const;

 private:
  static constexpr std::size_t kSpareQueues = 64;

  PriceLevels& levels(Side side) { return side == Side::Buy ? bids_ : asks_; }
  void rest(const OrderRecord& record, bool known_id);
  void erase_level(PriceLevels& side, PriceLevels::iterator level);
  void match(OrderRecord& incoming);
  void after_change() const;

  double tick_size_;
  std::unique_ptr<OrderStore> orders_;  // on the heap, so that a moved book keeps it in place
  PriceLevels bids_;
  PriceLevels asks_;
  std::vector<Trade> trades_;  // reused by add() so matching allocates nothing in steady state
  std::vector<LevelQueue> spare_queues_;  // buffers of emptied levels, for new ones
#ifdef QUORVANE_CHECK_INVARIANTS
  // Ids whose record may differ from their queue copies, by design.
  std::unordered_set<OrderId, IdHash> loose_ids_;
#endif
};

}  // namespace quorvane
