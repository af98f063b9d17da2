// Adding with matching, cancel, lookup and update.
#include "book/book.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "model/entropy.hpp"

namespace quorvane {

std::uint64_t draw_index_hash_seed() {
  unsigned char bytes[8];
  random_bytes(bytes, sizeof bytes);
  std::uint64_t seed;
  std::memcpy(&seed, bytes, sizeof seed);
  return seed;
}

namespace {

constexpr Side opposite(Side side) { return side == Side::Buy ? Side::Sell : Side::Buy; }

bool crosses(std::int64_t level_price, const OrderRecord& incoming) {
  return incoming.side == Side::Buy ? level_price <= incoming.price_in_ticks : level_price >= incoming.price_in_ticks;
}

}  // namespace

Book::Book(double tick_size) : tick_size_(tick_size), records_(std::make_unique<RecordStore>()) {
  trades_.reserve(16);
}

std::int64_t Book::ticks_for(double price) const {
  const double rounded = std::round(price / tick_size_);
  if (std::isnan(rounded)) return 0;
  constexpr double two63 = 9223372036854775808.0;
  if (rounded >= two63) return std::numeric_limits<std::int64_t>::max();
  if (rounded < -two63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(rounded);
}

Rejection Book::create_order(Side side, double price, double quantity, OrderRecord& out) const {
  if (price <= 0.0 || quantity <= 0.0) return Rejection::PriceOrQuantityNotPositive;
  const std::int64_t ticks = ticks_for(price);
  if (ticks < 1) return Rejection::ResultingTicksNotPositive;
  return make_order(side, ticks, quantity, out);
}

std::span<const Trade> Book::add(const OrderRecord& order) {
  trades_.clear();
  RecordStore& records = *records_;
  // Everything that can run out of memory comes before the first trade: the
  // record, room for the trades, room in the archive for every order they
  // may fill and for this one, and room for the remainder to rest (a level,
  // or an alias entry when the id is queued already).
  const auto [slot, is_new] = records.insert(order);
  LevelIndex level = kNoLevel;
  Slot entry = slot;
  try {
    if (!is_new || !order.is_open()) mark_loose(order.id);
    if (order.is_open()) reserve_trades(order);
    records.reserve_retire(trades_.capacity() + 1);
    if (order.is_open()) {
      level = levels_.find(order.side, order.price_in_ticks);
      if (level == kNoLevel) levels_.reserve(order.side, order.price_in_ticks);
      if (records[slot].has(Record::kQueued)) entry = records.add_alias(slot);
    }
  } catch (...) {
    if (is_new) records.erase(slot);
    throw;
  }

  OrderRecord incoming = order;
  if (incoming.is_open()) {
    try {
      match(incoming);
    } catch (...) {
      finish_add(slot, entry, level, incoming);  // the trades made so far stand
      throw;
    }
  }
  finish_add(slot, entry, level, incoming);
  after_change();
  return trades_;
}

// Writes the incoming order's final record and rests what remains of it at
// the back of its level, which exists or has room reserved.
void Book::finish_add(Slot slot, Slot entry, LevelIndex level, const OrderRecord& incoming) {
  RecordStore& records = *records_;
  Record& record = records[slot];
  record.quantity = incoming.quantity;
  record.status = incoming.status;
  if (!incoming.is_open()) {
    if (entry != slot) records.erase(entry);
    records.retire_if_unqueued(slot);
    return;
  }
  if (level == kNoLevel) level = levels_.create(incoming.side, incoming.price_in_ticks);
  if (entry != slot) record.flags |= Record::kMayHaveAliases;
  records[entry].queued_quantity = incoming.quantity;
  link_back(level, entry);
}

// Makes room in trades_ for every trade that matching `incoming` will make.
// Each trade takes a different resting order, so the orders of the crossing
// levels bound them, and counting those reads no record; only when they
// outnumber the room does a dry run of the fills' quantities, in matching's
// own order and arithmetic, count the trades exactly.
void Book::reserve_trades(const OrderRecord& incoming) {
  const Side walked = opposite(incoming.side);
  const std::size_t room = trades_.capacity();
  if (room >= resting_[side_index(walked)]) return;
  std::size_t bound = 0;
  levels_.from_best(walked, [&](const Level& level) {
    if (!crosses(level.price, incoming)) return false;
    bound += level.count;
    return bound <= room;
  });
  if (bound <= room) return;

  const RecordStore& records = *records_;
  std::size_t trades = 0;
  double left = incoming.quantity;
  levels_.from_best(walked, [&](const Level& level) {
    if (!crosses(level.price, incoming)) return false;
    for (Slot s = level.head; s != kNoSlot; s = records[s].next) {
      double resting = records[s].queued_quantity;
      const double m = matched_quantity(resting, left);
      resting -= m;
      left -= m;
      ++trades;
      if (left <= 0.0 || !(resting <= 0.0)) return false;  // as in match(): one of them stays, or both
    }
    return true;
  });
  trades_.reserve(trades);
}

// The matching loop: trades `incoming` against the front of the best
// opposite level while it crosses, refreshing each resting order's record.
void Book::match(OrderRecord& incoming) {
  RecordStore& records = *records_;
  const Side walked = opposite(incoming.side);
  while (incoming.is_open()) {
    const LevelIndex best = levels_.best(walked);
    if (best == kNoLevel || !crosses(levels_[best].price, incoming)) break;
    const Slot front = levels_[best].head;
    if (front == kNoSlot) throw InternalFailure("Queue is not empty if it exists in map");
    Record& entry = records[front];

    if (trades_.size() == trades_.capacity()) throw InternalFailure("add made more trades than it made room for");
    OrderRecord resting = entry.queued_value();
    // The trade is written in place (room is reserved): a trade built on the
    // stack and copied in reloads it wider than it was stored, which stalls.
    Trade& trade = trades_.emplace_back();
    try {
      fill_step(resting, incoming, tick_size_, trade);
    } catch (...) {
      trades_.pop_back();
      throw;
    }
    // The next fill's record, likely a cache miss. Prefetched only now: the
    // clock read waits for every load in flight, a prefetch included.
    if (entry.next != kNoSlot) records.prefetch(entry.next);

    Slot owner = front;
    if (entry.has(Record::kAlias)) {
      owner = records.find(entry.id);
      if (owner == kNoSlot) throw InternalFailure("a queued order has no record");
    }
    records[owner].quantity = resting.quantity;
    records[owner].status = resting.status;
    if (resting.is_open()) {
      entry.queued_quantity = resting.quantity;
    } else {
      unlink(best, front);
      if (entry.has(Record::kAlias)) {
        records.erase(front);
      } else {
        entry.flags &= static_cast<std::uint8_t>(~Record::kQueued);
        records.retire_if_unqueued(front);  // unless an alias of it is left
      }
    }
    // Two non-finite quantities leave both orders open: stop rather than step forever.
    if (resting.is_open() && incoming.is_open()) break;
  }
}

void Book::link_back(LevelIndex level, Slot slot) {
  RecordStore& records = *records_;
  Level& l = levels_[level];
  Record& r = records[slot];
  r.prev = l.tail;
  r.next = kNoSlot;
  r.flags |= Record::kQueued;
  (l.tail == kNoSlot ? l.head : records[l.tail].next) = slot;
  l.tail = slot;
  ++resting_[side_index(l.side)];
  ++l.count;
}

void Book::unlink(LevelIndex level, Slot slot) {
  RecordStore& records = *records_;
  Level& l = levels_[level];
  Record& r = records[slot];
  (r.prev == kNoSlot ? l.head : records[r.prev].next) = r.next;
  (r.next == kNoSlot ? l.tail : records[r.next].prev) = r.prev;
  r.prev = r.next = kNoSlot;
  --resting_[side_index(l.side)];
  if (--l.count == 0) levels_.emptied(level);
}

// The rare path of an id queued more than once: one pass over its level.
void Book::remove_aliases(LevelIndex level, const OrderId& id) {
  RecordStore& records = *records_;
  for (Slot s = levels_[level].head; s != kNoSlot;) {
    const Slot next = records[s].next;
    if (records[s].has(Record::kAlias) && records[s].id == id) {
      unlink(level, s);
      records.erase(s);
    }
    s = next;
  }
}

bool Book::cancel(const OrderId& id) {
  RecordStore& records = *records_;
  const bool found = records.remove(id, [&](Slot slot) {
    const Record& record = records[slot];
    const bool queued = record.has(Record::kQueued);
    if (!queued && !record.has(Record::kMayHaveAliases)) return;
    // A queued entry stands in the level of its side and price.
    const LevelIndex level = levels_.find(record.side, record.price_in_ticks);
    if (level == kNoLevel) return;
    if (record.has(Record::kMayHaveAliases)) remove_aliases(level, id);
    if (queued) unlink(level, slot);
  });
  if (found) after_change();
  return found;
}

std::optional<OrderRecord> Book::find(const OrderId& id) const { return records_->lookup(id); }

void Book::update(const OrderRecord& order) {
  mark_loose(order.id);
  const auto [slot, is_new] = records_->insert(order);
  if (!is_new) {
    Record& record = (*records_)[slot];
    record.quantity = order.quantity;
    record.status = order.status;
  }
  after_change();
}

void Book::mark_loose([[maybe_unused]] const OrderId& id) {
#ifdef QUORVANE_CHECK_INVARIANTS
  loose_ids_.insert(id);
#endif
}

void Book::after_change() const {
#ifdef QUORVANE_CHECK_INVARIANTS
  if (auto broken = check_invariants()) throw InternalFailure("book invariant broken: " + *broken);
#endif
}

}  // namespace quorvane
