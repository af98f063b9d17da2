// The book's invariant checker: walks every level and every record and
// describes the first thing that does not hold.
#include <cmath>
#include <cstring>
#include <vector>

#include "book/book.hpp"

namespace quorvane {
namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

std::optional<std::string> Book::check_invariants() const {
  const RecordStore& records = *records_;
  auto loose = [&]([[maybe_unused]] const OrderId& id) {
#ifdef QUORVANE_CHECK_INVARIANTS
    return loose_ids_.count(id) != 0;
#else
    return false;
#endif
  };
  std::vector<bool> queued(records.slot_count(), false);
  std::size_t aliases = 0;
  std::vector<bool> listed(levels_.pool_size(), false);
  for (Side side : {Side::Buy, Side::Sell}) {
    const std::string name = side == Side::Buy ? "bids" : "asks";
    std::size_t resting = 0;
    const LevelArray& side_levels = levels_.side(side);
    if (levels_.index_size(side) != side_levels.size()) return name + ": price index and level array differ";
    for (std::size_t i = 0; i < side_levels.size(); ++i) {
      const auto [price, index] = side_levels[i];
      auto where = [&, price = price] { return name + " level " + std::to_string(price); };
      if (index >= levels_.pool_size() || listed[index]) return where() + " names no level, or one listed twice";
      listed[index] = true;
      const Level& level = levels_[index];
      if (level.price != price || level.side != side) return where() + " disagrees with its level";
      if (i > 0 && (side == Side::Buy ? side_levels[i - 1].price >= price : side_levels[i - 1].price <= price)) {
        return where() + " is out of order";
      }
      if (levels_.find(side, price) != index) return where() + " is not found by its price";
      if (level.count == 0) return where() + " holds no orders";
      std::size_t count = 0;
      Slot prev = kNoSlot;
      for (Slot s = level.head; s != kNoSlot; prev = s, s = records[s].next) {
        if (s >= records.slot_count() || queued[s]) return where() + " links a slot twice or out of range";
        queued[s] = true;
        ++count;
        const Record& entry = records[s];
        auto what = [&] { return where() + " entry " + entry.id.text(); };
        if (records.is_free(s)) return where() + " links a free slot";
        if (entry.prev != prev) return what() + " has a broken back link";
        if (!entry.has(Record::kQueued)) return what() + " is not marked queued";
        if (entry.side != side) return what() + " is of the other side";
        if (entry.price_in_ticks != price) return what() + " is priced " + std::to_string(entry.price_in_ticks);
        Slot owner = s;
        if (entry.has(Record::kAlias)) {
          ++aliases;
          owner = records.find(entry.id);
          if (owner == kNoSlot) return what() + " has no record";
          const Record& r = records[owner];
          if (!r.has(Record::kMayHaveAliases)) return what() + " is an alias its record does not expect";
          if (r.side != entry.side || r.price_in_ticks != entry.price_in_ticks || r.timestamp != entry.timestamp) {
            return what() + " differs from its record in side, price or timestamp";
          }
        } else if (records.find(entry.id) != s) {
          return what() + " is not the record of its id";
        }
        if (loose(entry.id)) continue;
        const Record& r = records[owner];
        if (r.status != Status::Open || !same_bits(r.quantity, entry.queued_quantity)) {
          return what() + " differs from its record";
        }
      }
      if (count != level.count || prev != level.tail) return where() + " has a wrong count or tail";
      resting += count;
    }
    if (resting != resting_count(side)) return name + ": resting count is wrong";
  }
  if (levels_.level_count() + levels_.free_count() != levels_.pool_size()) return "a level is neither listed nor free";
  // Matching stops with both orders still open only when their quantities
  // are not finite, and a quantity that is not finite stays so: only such an
  // order at the front of a side can leave the book crossed.
  const LevelIndex bid = levels_.best(Side::Buy), ask = levels_.best(Side::Sell);
  if (bid != kNoLevel && ask != kNoLevel && levels_[bid].price >= levels_[ask].price &&
      std::isfinite(records[levels_[bid].head].queued_quantity) &&
      std::isfinite(records[levels_[ask].head].queued_quantity)) {
    return "the book is crossed between orders of finite quantity";
  }

  if (auto broken = records.check_id_table()) return broken;
  std::optional<std::string> broken;
  std::size_t ids = 0;
  records.for_each_id([&](Slot s) {
    ++ids;
    if (broken) return;
    const Record& r = records[s];
    auto what = [&] {
      std::string text = "record ";
      r.id.append_text(text);
      return text;
    };
    if (r.has(Record::kAlias)) {
      broken = what() + " is an alias in the id table";
    } else if (r.status == Status::Canceled) {
      broken = what() + " is Canceled";
    } else if (r.has(Record::kQueued) != queued[s]) {
      broken = what() + " is queued and not in its level, or the other way round";
    } else if (r.status == Status::Open && !r.has(Record::kQueued) && !loose(r.id)) {
      broken = what() + " is Open but not queued";
    }
  });
  if (broken) return broken;
  if (ids + aliases + records.free_count() != records.slot_count()) return "a slot is neither free, an id's nor queued";
  return records.check_retired();
}

}  // namespace quorvane
