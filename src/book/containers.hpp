// The book's three containers. Abseil's flat hash set and B-tree map when the
// build found Abseil (fewer cache misses per operation), else the standard
// library's; both give the same results.
#pragma once
#include <cstdint>
#include <functional>

#include "book/level_queue.hpp"
#include "model/order.hpp"

#ifdef QUORVANE_HAVE_ABSL
#include "absl/container/btree_map.h"
#include "absl/container/flat_hash_set.h"
#else
#include <map>
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

#ifdef QUORVANE_HAVE_ABSL
using OrderIndex = absl::flat_hash_set<OrderRecord, IdHash, IdEqual>;
using PriceLevels = absl::btree_map<std::int64_t, LevelQueue>;
#else
using OrderIndex = std::unordered_set<OrderRecord, IdHash, IdEqual>;
using PriceLevels = std::map<std::int64_t, LevelQueue>;
#endif

}  // namespace quorvane
