// Price to level, for one side. The levels a book makes and removes all the
// time lie near the touch, within a few hundred ticks of each other, so a
// table indexed by a price's low bits gives each of them a place of its own,
// which names the level: one load, and the level's own price confirms it, with
// no hashing. A level whose place another price holds goes to a hash table
// instead, where a price is looked for only when its place does not hold it.
// The places keep no order, so a book whose prices drift keeps finding its
// levels in them. Prices chosen to share one place all go to the seeded hash
// table: the worst a caller can arrange is a probe of that table per lookup.
//
// reserve() makes room for one insert, which then cannot fail; a failing
// reserve() changes nothing.
#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

#include "book/id_index.hpp"
#include "book/level_array.hpp"

#ifdef QUORVANE_HAVE_BOOST_UNORDERED
#include <boost/unordered/unordered_flat_map.hpp>
#else
#include <unordered_map>
#endif

namespace quorvane {

inline constexpr LevelIndex kNoLevel = std::numeric_limits<LevelIndex>::max();

// Prices in ticks are often multiples of a power of two: mix the bits before
// the table masks them. Prices come from callers, so the mix is seeded, as
// the id table's is: unseeded, it can be inverted to choose prices that all
// land in one group, which makes every lookup a scan.
struct PriceHash {
  using is_avalanching = void;
  std::uint64_t seed = index_hash_seed();
  std::size_t operator()(std::int64_t price) const {
    const std::uint64_t h = (static_cast<std::uint64_t>(price) ^ seed) * 0x9e3779b97f4a7c15ULL;
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
};

// The hash table for the prices whose place is taken.
class PriceTable {
 public:
  LevelIndex find(std::int64_t price) const {
    auto it = map_.find(price);
    return it == map_.end() ? kNoLevel : it->second;
  }
  std::size_t size() const { return map_.size(); }
#ifdef QUORVANE_HAVE_BOOST_UNORDERED
  void reserve() { make_room_for_one(map_); }
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

class PriceIndex {
 public:
  // 1024 places of 4 bytes a side, made when the side first rests an order.
  static constexpr std::size_t kPlaces = 1024;

  // `price_of(level)` is the price of a level the index holds: a place names
  // a level, whose own price says whether it is the one sought.
  template <class PriceOf>
  LevelIndex find(std::int64_t price, PriceOf&& price_of) const {
    if (places_) {
      const LevelIndex at = places_[place(price)];
      if (at != kNoLevel && price_of(at) == price) return at;
    }
    return taken_.size() == 0 ? kNoLevel : taken_.find(price);
  }
  // Counted place by place, for the invariant checker.
  std::size_t size() const {
    const LevelIndex* begin = places_.get();
    const LevelIndex* end = begin ? begin + kPlaces : nullptr;
    return taken_.size() + static_cast<std::size_t>(std::count_if(begin, end, [](LevelIndex at) {
             return at != kNoLevel;
           }));
  }

  // Room to insert `price`, which the index does not hold.
  void reserve(std::int64_t price) {
    if (!places_) {
      places_.reset(new LevelIndex[kPlaces]);
      std::fill_n(places_.get(), kPlaces, kNoLevel);
    }
    if (places_[place(price)] != kNoLevel) taken_.reserve();
  }
  // Needs a reserve() for `price` since the last insert.
  void insert(std::int64_t price, LevelIndex level) {
    LevelIndex& at = places_[place(price)];
    if (at == kNoLevel) {
      at = level;
    } else {
      taken_.insert(price, level);
    }
  }
  // Removes `level`, which the index holds at `price`.
  void erase(std::int64_t price, LevelIndex level) {
    LevelIndex& at = places_[place(price)];
    if (at == level) {
      at = kNoLevel;
    } else {
      taken_.erase(price);
    }
  }

 private:
  static std::size_t place(std::int64_t price) { return static_cast<std::size_t>(price) & (kPlaces - 1); }

  std::unique_ptr<LevelIndex[]> places_;  // an empty place names kNoLevel
  PriceTable taken_;
};

}  // namespace quorvane
