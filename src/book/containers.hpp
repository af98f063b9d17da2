// The book's containers. Each must leave itself unchanged when an insert runs
// out of memory, so that the book can raise MemoryError and go on: the index
// is tsl::robin_set (open addressing, strong guarantee for our trivially
// copyable records) when the build found it, else std::unordered_set; the
// price levels are a std::map, whose best entries are reached directly.
// (Abseil's tables were faster but are not exception safe: a failed resize
// leaves them corrupt.)
#pragma once
#include <cstdint>
#include <functional>

#include "book/level_queue.hpp"
#include "model/order.hpp"

#include <map>
#ifdef QUORVANE_HAVE_ROBIN_MAP
#include "tsl/robin_set.h"
#else
#include <unordered_set>
#endif

namespace quorvane {

std::uint64_t draw_index_hash_seed();

// Ids are random, but the seed keeps the layout of the index unpredictable.
inline std::uint64_t index_hash_seed() {
  static const std::uint64_t seed = draw_index_hash_seed();
  return seed;
}

struct IdHash {
  using is_transparent = void;
  std::size_t operator()(const OrderId& id) const {
    std::uint64_t h = (id.low_word() ^ index_hash_seed()) * 0x9e3779b97f4a7c15ULL;
    h ^= id.high_word() + (h >> 29);
    return static_cast<std::size_t>(h * 0xbf58476d1ce4e5b9ULL ^ (h >> 32));
  }
  std::size_t operator()(const OrderRecord& r) const { return (*this)(r.id); }
};

struct IdEqual {
  using is_transparent = void;
  static const OrderId& key(const OrderId& id) { return id; }
  static const OrderId& key(const OrderRecord& r) { return r.id; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const { return key(a) == key(b); }
};

#ifdef QUORVANE_HAVE_ROBIN_MAP
using OrderIndex = tsl::robin_set<OrderRecord, IdHash, IdEqual>;
#else
using OrderIndex = std::unordered_set<OrderRecord, IdHash, IdEqual>;
#endif
using PriceLevels = std::map<std::int64_t, LevelQueue>;

}  // namespace quorvane
