// The market queries: the front of the best levels, volumes and the spread.
// They read the queue entries only, never the records.
#include "book/book.hpp"

namespace quorvane {

std::optional<TopOfBook> Book::top(Side side) const {
  const LevelIndex best = levels_.best(side);
  if (best == kNoLevel) return std::nullopt;
  const Level& level = levels_[best];
  return TopOfBook{level.price, (*records_)[level.head].queued_quantity};
}

double Book::volume(Side side) const {
  double total = -0.0;
  for_each_entry(side, [&](const Record& entry) { total += entry.queued_quantity; });
  return total;
}

std::optional<double> Book::spread() const {
  const LevelIndex bid = levels_.best(Side::Buy);
  const LevelIndex ask = levels_.best(Side::Sell);
  if (bid == kNoLevel || ask == kNoLevel) return std::nullopt;
  const std::int64_t d = levels_[ask].price - levels_[bid].price;
  return tick_size_ * static_cast<double>(d);
}

}  // namespace quorvane
