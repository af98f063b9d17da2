// The price levels of both sides. A level is a FIFO queue linked through the
// records themselves (book/records.hpp), front to back; levels live in one
// pool, so that a record names its level with an index. Per side, an ordered
// map from price to level gives the walk order (ascending price), and a hash
// from price to level finds a level without walking the map. The best level
// of each side is kept at hand.
//
// A level whose last order leaves stays where it is, idle, since orders come
// back to the prices near the touch again and again: reusing it costs
// nothing, while taking it out of the map and the hash and putting it back
// would be most of the cost of a fill or a cancel. Idle levels are invisible:
// they hold no orders, the walks pass over them and the best level is always
// one that holds orders. They go when the best level moves past them, and
// all at once when there are more of them than of levels holding orders.
//
// Removed levels give back their pool entry and their map node for reuse, so
// resting and matching allocate nothing in steady state; reserve() makes
// room beforehand, so that the create() after it cannot fail. A failing
// reserve() changes nothing that can be seen.
#pragma once
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
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

using OrderedLevels = std::map<std::int64_t, LevelIndex>;

struct Level {
  std::int64_t price = 0;
  Slot head = kNoSlot;  // (a free level links the next free one here)
  Slot tail = kNoSlot;
  std::uint32_t count = 0;
  Side side = Side::Buy;
  OrderedLevels::iterator where;  // this level's entry in its side's map
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
  PriceLevels() { spare_nodes_.reserve(kSpareNodes); }
  PriceLevels(const PriceLevels&) = delete;
  PriceLevels& operator=(const PriceLevels&) = delete;
  PriceLevels(PriceLevels&&) = default;
  PriceLevels& operator=(PriceLevels&&) = default;

  Level& operator[](LevelIndex level) { return pool_[level]; }
  const Level& operator[](LevelIndex level) const { return pool_[level]; }

  // Every level of a side, idle ones included.
  const OrderedLevels& ordered(Side side) const { return ordered_[index(side)]; }

  // The level at `price`, idle or not.
  LevelIndex find(Side side, std::int64_t price) const { return by_price_[index(side)].find(price); }

  // The best level holding orders: the highest bid, the lowest ask.
  LevelIndex best(Side side) const { return best_[index(side)]; }

  // Visits the levels of a side that hold orders, best first, while `visit`
  // returns true.
  template <class F>
  void from_best(Side side, F&& visit) const {
    const LevelIndex best = best_[index(side)];
    if (best == kNoLevel) return;
    const OrderedLevels& levels = ordered_[index(side)];
    auto it = pool_[best].where;
    if (side == Side::Sell) {
      for (; it != levels.end(); ++it) {
        if (pool_[it->second].count != 0 && !visit(pool_[it->second])) return;
      }
    } else {
      for (;; --it) {
        if (pool_[it->second].count != 0 && !visit(pool_[it->second])) return;
        if (it == levels.begin()) return;
      }
    }
  }

  // Makes room for one create() on `side`.
  void reserve(Side side) {
    if (free_head_ == kNoLevel) {
      if (pool_.size() >= kNoLevel) throw std::bad_alloc();
      pool_.emplace_back();
      free_head_ = static_cast<LevelIndex>(pool_.size() - 1);
    }
    if (spare_nodes_.empty()) {
      OrderedLevels scratch;
      scratch.emplace(0, kNoLevel);
      spare_nodes_.push_back(scratch.extract(scratch.begin()));  // capacity reserved: cannot throw
    }
    by_price_[index(side)].reserve();
  }

  // A new idle level at `price`, which the side does not have; needs a
  // reserve() since the last create().
  LevelIndex create(Side side, std::int64_t price) {
    const LevelIndex level = free_head_;
    Level& l = pool_[level];
    free_head_ = l.head;
    auto node = std::move(spare_nodes_.back());
    spare_nodes_.pop_back();
    node.key() = price;
    node.mapped() = level;
    l = Level{};
    l.price = price;
    l.side = side;
    l.where = ordered_[index(side)].insert(std::move(node)).position;
    by_price_[index(side)].insert(price, level);
    ++idle_;
    return level;
  }

  // A level's first order came in.
  void filled_up(LevelIndex level) {
    --idle_;
    const Level& l = pool_[level];
    LevelIndex& best = best_[index(l.side)];
    if (best == kNoLevel || better(l, pool_[best])) best = level;
  }

  // A level's last order left: when it was the best, the next level holding
  // orders becomes the best, and the idle levels passed on the way go.
  void emptied(LevelIndex level) {
    ++idle_;
    const Level& l = pool_[level];
    const int s = index(l.side);
    if (best_[s] != level) return;
    best_[s] = kNoLevel;
    OrderedLevels& levels = ordered_[s];
    if (l.side == Side::Sell) {
      for (auto it = std::next(l.where); it != levels.end();) {
        if (pool_[it->second].count != 0) {
          best_[s] = it->second;
          break;
        }
        it = discard(it->second);
      }
    } else {
      for (auto it = l.where; it != levels.begin();) {
        --it;
        if (pool_[it->second].count != 0) {
          best_[s] = it->second;
          break;
        }
        it = discard(it->second);
      }
    }
  }

  // Removes every idle level once they outnumber the levels holding orders,
  // so that idle levels never cost more than the others.
  void trim() {
    const std::size_t levels = ordered_[0].size() + ordered_[1].size();
    if (idle_ <= kIdleAllowance + (levels - idle_)) return;
    for (OrderedLevels& side : ordered_) {
      for (auto it = side.begin(); it != side.end();) {
        it = pool_[it->second].count == 0 ? discard(it->second) : std::next(it);
      }
    }
  }

  std::size_t idle_count() const { return idle_; }
  std::size_t pool_size() const { return pool_.size(); }
  std::size_t index_size(Side side) const { return by_price_[index(side)].size(); }

 private:
  static constexpr std::size_t kSpareNodes = 64;
  static constexpr std::size_t kIdleAllowance = 64;
  static int index(Side side) { return side == Side::Buy ? 0 : 1; }
  static bool better(const Level& a, const Level& b) {
    return a.side == Side::Buy ? a.price > b.price : a.price < b.price;
  }

  // Takes an idle level out of its side; returns the map position after it.
  OrderedLevels::iterator discard(LevelIndex level) {
    Level& l = pool_[level];
    const int s = index(l.side);
    by_price_[s].erase(l.price);
    const auto after = std::next(l.where);
    auto node = ordered_[s].extract(l.where);
    if (spare_nodes_.size() < kSpareNodes) spare_nodes_.push_back(std::move(node));
    l = Level{};
    l.head = free_head_;
    free_head_ = level;
    --idle_;
    return after;
  }

  std::vector<Level> pool_;
  LevelIndex free_head_ = kNoLevel;
  OrderedLevels ordered_[2];
  PriceIndex by_price_[2];
  LevelIndex best_[2] = {kNoLevel, kNoLevel};
  std::size_t idle_ = 0;
  std::vector<OrderedLevels::node_type> spare_nodes_;  // map nodes of removed levels
};

}  // namespace quorvane
