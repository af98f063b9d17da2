// The order book of one instrument: an index of order records by id, and the
// resting orders of each side in price levels (ascending price in ticks),
// each level a FIFO queue.
//
// Layout (records.hpp, levels.hpp): a record is one cache line that also
// serves as its order's queue entry, linked to its neighbours in its level,
// and it chains the id table's bucket it belongs to. So a cancel is one probe
// of the id table, one look-up of its level by side and price, and an
// unlink; a resting order finds its level through the same price index;
// matching takes the front of the best level (the last of its side's sorted
// array of levels) and writes the resting record in place. An order that
// leaves the queues filled is retired to an archive that keeps it findable
// (archive.hpp), so the live records and the id table hold about the resting
// orders however many have traded. Records and levels are recycled: nothing
// is allocated per operation in steady state (the archive's log grows a
// chunk at a time).
//
// A resting order is both its record (what a lookup shows) and its queue
// entry (what the market queries show). Matching keeps the two equal;
// update(), and an add of an order whose id the book already knows, write
// the record alone, so the two may then differ. An id's side, price and
// timestamp are the same in every copy of an order, so the record and its
// entries can share them; only the quantity is kept twice.
//
// Invariants (checked by check_invariants(), and after every change in
// builds with QUORVANE_CHECK_INVARIANTS):
//  1. every level of a side holds orders, and its side's array lists each
//     level once, by strictly improving price, the best last;
//  2. bids hold only Buy orders, asks only Sell orders, each under its own
//     price, all Open; the best bid is below the best ask, unless the front
//     of one of them has a quantity that is not finite (matching leaves two
//     such orders both open);
//  3. queues keep arrival order; a partly filled order keeps its place;
//  4. records agree with their queue entries except where update(), or an
//     add of a known id, made them differ;
//  5. every Open record is queued, except where those two wrote it.
//
// Every operation gives the strong guarantee against bad_alloc: add() makes
// room for its record, its trades, the archive entries of the orders they
// may fill and its remainder before the first trade, so matching allocates
// nothing.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "book/levels.hpp"
#include "book/records.hpp"
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
  explicit Book(double tick_size = 0.01);

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
  std::optional<OrderRecord> find(const OrderId& id) const;
  void update(const OrderRecord& record);

  std::size_t resting_count(Side side) const { return resting_[side_index(side)]; }
  // Visits a side's queue entries by ascending price, each level front to back.
  template <class F>
  void walk(Side side, F&& visit) const {
    for_each_entry(side, [&](const Record& entry) { visit(entry.queued_value()); });
  }

  std::optional<TopOfBook> best_bid() const { return top(Side::Buy); }
  std::optional<TopOfBook> best_ask() const { return top(Side::Sell); }
  double volume(Side side) const;  // summed in walk order from -0.0
  std::optional<double> spread() const;
  std::string summary() const;

  // The first broken invariant, described; nothing when all hold.
  std::optional<std::string> check_invariants() const;

 private:
  static int side_index(Side side) { return side == Side::Buy ? 0 : 1; }

  template <class F>
  void for_each_entry(Side side, F&& visit) const {
    const RecordStore& records = *records_;
    levels_.by_price(side, [&](const LevelAt& at) {
      for (Slot s = levels_[at.level].head; s != kNoSlot; s = records[s].next) visit(records[s]);
    });
  }

  std::optional<TopOfBook> top(Side side) const;
  void reserve_trades(const OrderRecord& incoming);
  void match(OrderRecord& incoming);
  void finish_add(Slot slot, Slot entry, LevelIndex level, const OrderRecord& incoming);
  void link_back(LevelIndex level, Slot slot);
  void unlink(LevelIndex level, Slot slot);
  void remove_aliases(LevelIndex level, const OrderId& id);
  void mark_loose(const OrderId& id);
  void after_change() const;

  double tick_size_;
  std::unique_ptr<RecordStore> records_;  // on the heap, so that a moved book keeps it in place
  PriceLevels levels_;
  std::size_t resting_[2] = {0, 0};
  std::vector<Trade> trades_;  // reused by add(), so matching allocates nothing in steady state
#ifdef QUORVANE_CHECK_INVARIANTS
  // Ids whose record may differ from their queue entries, by design.
  std::unordered_set<OrderId, IdHash> loose_ids_;
#endif
};

}  // namespace quorvane
