// The book's containers. Each must leave itself unchanged when an insert runs
// out of memory, so that the book can raise MemoryError and go on: the order
// store's table is tsl::robin_set (open addressing; a failed rehash leaves the
// old table) when the build found it, else std::unordered_set; the price
// levels are a std::map, whose best entries are reached directly. (Abseil's
// tables were faster but are not exception safe: a failed resize leaves them
// corrupt.)
#pragma once
#include <cstdint>
#include <map>

#include "book/level_queue.hpp"
#include "book/order_store.hpp"

namespace quorvane {

using PriceLevels = std::map<std::int64_t, LevelQueue>;

}  // namespace quorvane
