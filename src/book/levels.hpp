// The price levels of both sides. A level is a FIFO queue linked through the
// records themselves (book/records.hpp), front to back; levels live in one
// pool, so that the price index and the sorted arrays name a level by an
// index that never moves.
// Links rather than an array of slots per level: an array spares a cancel and
// a resting add the write to a neighbour's record, but marked entries must be
// skipped and compacted away, which rewrites records' places, and it measured
// slower.
//
// Per side, the levels holding orders are kept in one array sorted from the
// worst price to the best (book/level_array.hpp: 16 bytes a level, with room
// at both ends): the best level is the last entry, and matching takes and
// removes levels there. A price index (book/price_index.hpp) finds the level
// of an order that rests or is cancelled; a search of the array that starts
// at the best price finds a new level's place. A level leaves the array, the
// index and the pool as soon as its last order leaves: near the touch, where
// levels come and go, making it again when orders return costs less than
// keeping emptied levels about.
//
// reserve() makes room beforehand, so that the create() after it cannot fail.
// A failing reserve() changes nothing that can be seen.
#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "book/level_array.hpp"
#include "book/price_index.hpp"
#include "book/records.hpp"
#include "model/enums.hpp"

namespace quorvane {

struct Level {
  std::int64_t price = 0;
  Slot head = kNoSlot;  // (a free level links the next free one here)
  Slot tail = kNoSlot;
  std::uint32_t count = 0;
  Side side = Side::Buy;
};

class PriceLevels {
 public:
  Level& operator[](LevelIndex level) { return pool_[level]; }
  const Level& operator[](LevelIndex level) const { return pool_[level]; }

  // The levels of a side holding orders, from the worst price to the best.
  const LevelArray& side(Side side) const { return sides_[index(side)]; }

  // The level at `price`, or kNoLevel.
  LevelIndex find(Side side, std::int64_t price) const {
    return by_price_[index(side)].find(price, [&](LevelIndex level) { return pool_[level].price; });
  }

  // The best level: the highest bid, the lowest ask.
  LevelIndex best(Side side) const {
    const LevelArray& levels = sides_[index(side)];
    return levels.empty() ? kNoLevel : levels.back().level;
  }

  // Visits the levels of a side, best first, while `visit` returns true.
  template <class F>
  void from_best(Side side, F&& visit) const {
    const LevelArray& levels = sides_[index(side)];
    for (const LevelAt* at = levels.end(); at != levels.begin();) {
      if (!visit(pool_[(--at)->level])) return;
    }
  }

  // Visits the levels of a side by ascending price.
  template <class F>
  void by_price(Side side, F&& visit) const {
    const LevelArray& levels = sides_[index(side)];
    if (side == Side::Buy) {
      for (const LevelAt& at : levels) visit(at);
    } else {
      for (const LevelAt* at = levels.end(); at != levels.begin();) visit(*--at);
    }
  }

  // Makes room for one create() on `side` at `price`.
  void reserve(Side side, std::int64_t price) {
    if (free_head_ == kNoLevel) {
      if (pool_.size() >= kNoLevel) throw std::bad_alloc();
      pool_.emplace_back();
      free_head_ = static_cast<LevelIndex>(pool_.size() - 1);
    }
    sides_[index(side)].reserve_one();
    by_price_[index(side)].reserve(price);
  }

  // A new level at `price`, which the side does not have; it holds no orders
  // until the caller links its first. Needs a reserve() for it since the last create().
  LevelIndex create(Side side, std::int64_t price) {
    const LevelIndex level = free_head_;
    Level& l = pool_[level];
    free_head_ = l.head;
    l = Level{};
    l.price = price;
    l.side = side;
    sides_[index(side)].insert(position(side, price), LevelAt{price, level});  // room reserved: cannot throw
    by_price_[index(side)].insert(price, level);
    return level;
  }

  // A level's last order left: the level goes.
  void emptied(LevelIndex level) {
    Level& l = pool_[level];
    LevelArray& levels = sides_[index(l.side)];
    levels.erase(levels.back().level == level ? levels.size() - 1 : position(l.side, l.price));  // mostly the best
    by_price_[index(l.side)].erase(l.price, level);
    l = Level{};
    l.head = free_head_;
    free_head_ = level;
  }

  std::size_t pool_size() const { return pool_.size(); }
  std::size_t level_count() const { return sides_[0].size() + sides_[1].size(); }
  std::size_t index_size(Side side) const { return by_price_[index(side)].size(); }
  // The pool's free entries, counted along their chain (at most the pool's size, so a loop shows).
  std::size_t free_count() const {
    std::size_t n = 0;
    for (LevelIndex l = free_head_; l != kNoLevel && n <= pool_.size(); l = pool_[l].head) ++n;
    return n;
  }

 private:
  static int index(Side side) { return side == Side::Buy ? 0 : 1; }

  // The index of the first entry of a side not worse than `price`. New levels
  // come mostly at or near the touch, the array's end, so the search gallops
  // back from there before it halves.
  std::size_t position(Side side, std::int64_t price) const {
    return side == Side::Buy ? position(side, price, [](std::int64_t a, std::int64_t p) { return a < p; })
                             : position(side, price, [](std::int64_t a, std::int64_t p) { return a > p; });
  }
  template <class Worse>
  std::size_t position(Side side, std::int64_t price, Worse worse) const {
    const LevelArray& levels = sides_[index(side)];
    std::size_t low = 0, high = levels.size();  // the answer lies in [low, high]
    for (std::size_t step = 1; high > 0; step *= 2) {
      const std::size_t probe = high > step ? high - step : 0;
      if (worse(levels[probe].price, price)) {
        low = probe + 1;
        break;
      }
      high = probe;
    }
    const LevelAt* at = std::lower_bound(levels.begin() + low, levels.begin() + high, price,
                                         [&](const LevelAt& a, std::int64_t p) { return worse(a.price, p); });
    return static_cast<std::size_t>(at - levels.begin());
  }

  std::vector<Level> pool_;
  LevelIndex free_head_ = kNoLevel;
  LevelArray sides_[2];  // bids by ascending price, asks by descending price
  PriceIndex by_price_[2];
};

}  // namespace quorvane
