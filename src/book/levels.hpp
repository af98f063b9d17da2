// The price levels of both sides. A level is a FIFO queue linked through the
// records themselves (book/records.hpp), front to back; levels live in one
// pool, so that a record names its level with an index that never moves.
//
// Per side, the levels holding orders are kept in one array sorted from the
// worst price to the best (16 bytes a level, its price beside its index):
// the best level is the last entry, matching takes and removes levels at
// the end, and the orders of a book crowd near the touch, so a level made or
// removed there moves a few entries at most (one made deep in a side moves
// the side's better levels: kilobytes for a side of hundreds of levels). A
// hash from price to level finds a new resting order's level; the array
// finds a new level's place by binary search. A level leaves the array, the
// hash and the pool as soon as its last order leaves: making it again when
// orders return costs less than keeping emptied levels about.
//
// reserve() makes room beforehand, so that the create() after it cannot fail.
// A failing reserve() changes nothing that can be seen.
#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "book/records.hpp"
#include "model/enums.hpp"

#ifdef QUORVANE_HAVE_BOOST_UNORDERED
#include <boost/unordered/unordered_flat_map.hpp>
#else
#include <unordered_map>
#endif

namespace quorvane {

using LevelIndex = std::uint32_t;
inline constexpr LevelIndex kNoLevel = std::numeric_limits<LevelIndex>::max();

struct Level {
  std::int64_t price = 0;
  Slot head = kNoSlot;  // (a free level links the next free one here)
  Slot tail = kNoSlot;
  std::uint32_t count = 0;
  Side side = Side::Buy;
};

// A side's entry for a level: its price, kept beside the index so that a
// search reads only the array.
struct LevelAt {
  std::int64_t price;
  LevelIndex level;
};

// Prices in ticks are often multiples of a power of two: mix the bits before
// the table masks them.
struct PriceHash {
  using is_avalanching = void;
  std::size_t operator()(std::int64_t price) const {
    std::uint64_t h = static_cast<std::uint64_t>(price) * 0x9e3779b97f4a7c15ULL;
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
};

// Price to level, for one side. reserve() makes room for one insert.
class PriceIndex {
 public:
  LevelIndex find(std::int64_t price) const {
    auto it = map_.find(price);
    return it == map_.end() ? kNoLevel : it->second;
  }
  std::size_t size() const { return map_.size(); }
#ifdef QUORVANE_HAVE_BOOST_UNORDERED
  void reserve() {
    if (map_.size() + 1 > map_.max_load()) map_.reserve(2 * map_.size() + 2);
  }
  void insert(std::int64_t price, LevelIndex level) { map_.emplace(price, level); }
  void erase(std::int64_t price) { map_.erase(price); }

 private:
  boost::unordered_flat_map<std::int64_t, LevelIndex, PriceHash> map_;
#else
  void reserve() {
    if (static_cast<float>(map_.size() + 2) > static_cast<float>(map_.bucket_count()) * map_.max_load_factor()) {
      map_.reserve(2 * map_.size() + 2);
    }
    if (spare_.empty()) {
      Map scratch;
      scratch.emplace(0, kNoLevel);
      spare_ = scratch.extract(scratch.begin());
    }
  }
  void insert(std::int64_t price, LevelIndex level) {
    spare_.key() = price;
    spare_.mapped() = level;
    map_.insert(std::move(spare_));
  }
  void erase(std::int64_t price) {
    auto node = map_.extract(price);
    if (spare_.empty()) spare_ = std::move(node);
  }

 private:
  using Map = std::unordered_map<std::int64_t, LevelIndex, PriceHash>;
  Map map_;
  Map::node_type spare_;
#endif
};

class PriceLevels {
 public:
  Level& operator[](LevelIndex level) { return pool_[level]; }
  const Level& operator[](LevelIndex level) const { return pool_[level]; }

  // The levels of a side holding orders, from the worst price to the best.
  const std::vector<LevelAt>& side(Side side) const { return sides_[index(side)]; }

  // The level at `price`, or kNoLevel.
  LevelIndex find(Side side, std::int64_t price) const { return by_price_[index(side)].find(price); }

  // The best level: the highest bid, the lowest ask.
  LevelIndex best(Side side) const {
    const std::vector<LevelAt>& levels = sides_[index(side)];
    return levels.empty() ? kNoLevel : levels.back().level;
  }

  // Visits the levels of a side, best first, while `visit` returns true.
  template <class F>
  void from_best(Side side, F&& visit) const {
    const std::vector<LevelAt>& levels = sides_[index(side)];
    for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
      if (!visit(pool_[it->level])) return;
    }
  }

  // Visits the levels of a side by ascending price.
  template <class F>
  void by_price(Side side, F&& visit) const {
    const std::vector<LevelAt>& levels = sides_[index(side)];
    if (side == Side::Buy) {
      for (const LevelAt& at : levels) visit(at);
    } else {
      for (auto it = levels.rbegin(); it != levels.rend(); ++it) visit(*it);
    }
  }

  // Makes room for one create() on `side`.
  void reserve(Side side) {
    if (free_head_ == kNoLevel) {
      if (pool_.size() >= kNoLevel) throw std::bad_alloc();
      pool_.emplace_back();
      free_head_ = static_cast<LevelIndex>(pool_.size() - 1);
    }
    std::vector<LevelAt>& levels = sides_[index(side)];
    if (levels.size() == levels.capacity()) levels.reserve(std::max<std::size_t>(2 * levels.size(), 16));
    by_price_[index(side)].reserve();
  }

  // A new level at `price`, which the side does not have; it holds no orders
  // until the caller links its first. Needs a reserve() since the last create().
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
    std::vector<LevelAt>& levels = sides_[index(l.side)];
    if (levels.back().level == level) {
      levels.pop_back();
    } else {
      levels.erase(position(l.side, l.price));
    }
    by_price_[index(l.side)].erase(l.price);
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

  // The first entry of a side not worse than `price`.
  std::vector<LevelAt>::const_iterator position(Side side, std::int64_t price) const {
    const std::vector<LevelAt>& levels = sides_[index(side)];
    if (side == Side::Buy) {
      return std::lower_bound(levels.begin(), levels.end(), price,
                              [](const LevelAt& at, std::int64_t p) { return at.price < p; });
    }
    return std::lower_bound(levels.begin(), levels.end(), price,
                            [](const LevelAt& at, std::int64_t p) { return at.price > p; });
  }

  std::vector<Level> pool_;
  LevelIndex free_head_ = kNoLevel;
  std::vector<LevelAt> sides_[2];  // bids by ascending price, asks by descending price
  PriceIndex by_price_[2];
};

}  // namespace quorvane
