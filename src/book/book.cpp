#include "book/book.hpp"

#include <cmath>
#include <iterator>
#include <limits>
#include <unordered_set>

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

// Compares every field, NaN quantities included, as the bytes that hold them.
bool same_record(const OrderRecord& a, const OrderRecord& b) {
  return a.id == b.id && a.price_in_ticks == b.price_in_ticks &&
         std::memcmp(&a.quantity, &b.quantity, sizeof a.quantity) == 0 && a.timestamp == b.timestamp &&
         a.side == b.side && a.status == b.status;
}

}  // namespace

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

void Book::rest(const OrderRecord& record, bool known_id) {
  PriceLevels& side = levels(record.side);
  auto [level, created] = side.try_emplace(record.price_in_ticks);
  LevelQueue& queue = level->second;
  if (created && !spare_queues_.empty()) {
    queue = std::move(spare_queues_.back());
    spare_queues_.pop_back();
  }
  try {
    queue.push_back(record);
  } catch (...) {
    if (created) erase_level(side, level);
    throw;
  }
  queue.may_repeat_ids |= known_id;
}

void Book::erase_level(PriceLevels& side, PriceLevels::iterator level) {
  if (spare_queues_.size() < kSpareQueues) {
    level->second.clear();
    spare_queues_.push_back(std::move(level->second));  // capacity reserved: cannot throw
  }
  side.erase(level);
}

// The matching loop: trades `incoming` against the best opposite levels while
// they cross. The incoming record is written by the caller afterwards.
void Book::match(OrderRecord& incoming) {
  const bool buying = incoming.side == Side::Buy;
  PriceLevels& walked = levels(incoming.side == Side::Buy ? Side::Sell : Side::Buy);
  while (incoming.is_open() && !walked.empty()) {
    auto level = buying ? walked.begin() : std::prev(walked.end());
    const bool crosses = buying ? level->first <= incoming.price_in_ticks : level->first >= incoming.price_in_ticks;
    if (!crosses) break;
    LevelQueue& queue = level->second;
    if (queue.empty()) throw InternalFailure("Queue is not empty if it exists in map");

    OrderRecord resting = queue.front();
    if (queue.size() > 1) orders_->prefetch(queue[1].slot);  // the next fill's record, likely a cache miss
    trades_.emplace_back();
    fill_step(resting, incoming, tick_size_, trades_.back());
    // Two non-finite quantities leave both orders open: stop rather than step forever.
    const bool completed_one = !resting.is_open() || !incoming.is_open();

    if (resting.is_open()) {
      queue.front() = resting;
    } else {
      queue.pop_front();
      if (queue.empty()) erase_level(walked, level);
    }
    orders_->write(resting.slot, resting);
    if (!completed_one) break;
  }
}

std::span<const Trade> Book::add(const OrderRecord& order) {
  trades_.clear();
  OrderRecord incoming = order;
  // The incoming record's slot is made first, so that writing its final state
  // after trades cannot fail for want of memory.
  const auto [slot, new_id] = orders_->insert(incoming);
  const bool known_id = !new_id;
  incoming.slot = slot;
#ifdef QUORVANE_CHECK_INVARIANTS
  if (!incoming.is_open() || known_id) loose_ids_.insert(incoming.id);
#endif
  if (incoming.is_open()) {
    try {
      match(incoming);
      if (incoming.is_open()) rest(incoming, known_id);
    } catch (...) {
      orders_->write(slot, incoming);  // the trades made so far stand
      throw;
    }
  }
  orders_->write(slot, incoming);
  after_change();
  return trades_;
}

bool Book::cancel(const OrderId& id) {
  const OrderRecord* record = orders_->find(id);
  if (!record) return false;
  PriceLevels& side = levels(record->side);
  auto level = side.find(record->price_in_ticks);
  if (level != side.end()) {
    level->second.remove_id(id);
    if (level->second.empty()) erase_level(side, level);
  }
  orders_->erase(id);
  after_change();
  return true;
}

const OrderRecord* Book::find(const OrderId& id) const { return orders_->find(id); }

void Book::update(const OrderRecord& record) {
#ifdef QUORVANE_CHECK_INVARIANTS
  loose_ids_.insert(record.id);
#endif
  orders_->put(record);
  after_change();
}

std::size_t Book::resting_count(Side side) const {
  std::size_t n = 0;
  for (const auto& [price, queue] : levels(side)) n += queue.size();
  return n;
}

std::optional<TopOfBook> Book::best_bid() const {
  if (bids_.empty()) return std::nullopt;
  const auto& [price, queue] = *std::prev(bids_.end());
  return TopOfBook{price, queue.front().quantity};
}

std::optional<TopOfBook> Book::best_ask() const {
  if (asks_.empty()) return std::nullopt;
  const auto& [price, queue] = *asks_.begin();
  return TopOfBook{price, queue.front().quantity};
}

double Book::volume(Side side) const {
  double total = -0.0;
  walk(side, [&](const OrderRecord& r) { total += r.quantity; });
  return total;
}

std::optional<double> Book::spread() const {
  if (bids_.empty() || asks_.empty()) return std::nullopt;
  const std::int64_t d = asks_.begin()->first - std::prev(bids_.end())->first;
  return tick_size_ * static_cast<double>(d);
}

void Book::after_change() const {
#ifdef QUORVANE_CHECK_INVARIANTS
  if (auto broken = check_invariants()) throw InternalFailure("book invariant broken: " + *broken);
#endif
}

std::optional<std::string> Book::check_invariants() const {
  auto loose = [&](const OrderId& id) {
#ifdef QUORVANE_CHECK_INVARIANTS
    return loose_ids_.count(id) != 0;
#else
    (void)id;
    return false;
#endif
  };
  std::unordered_set<OrderId, IdHash> queued;
  for (Side side : {Side::Buy, Side::Sell}) {
    const char* name = side == Side::Buy ? "bids" : "asks";
    for (const auto& [price, queue] : levels(side)) {
      const std::string where = std::string(name) + " level " + std::to_string(price);
      if (queue.empty()) return where + " is empty";
      for (std::size_t i = 0; i < queue.size(); ++i) {
        const OrderRecord& r = queue[i];
        if (r.side != side) return where + " holds an order of the other side";
        if (r.price_in_ticks != price) return where + " holds an order priced " + std::to_string(r.price_in_ticks);
        if (!r.is_open()) return where + " holds an order that is not Open";
        const OrderRecord* record = find(r.id);
        if (!record) return where + " holds " + r.id.text() + " with no record";
        if (!orders_->holds(r.slot, r.id)) return where + " holds " + r.id.text() + " with a wrong record slot";
        if (loose(r.id)) continue;
        if (!same_record(*record, r)) return where + " holds " + r.id.text() + " differing from its record";
        queued.insert(r.id);
      }
    }
  }
  std::optional<std::string> broken;
  orders_->for_each([&](const OrderRecord& r) {
    if (broken) return;
    if (r.status == Status::Canceled) broken = "record " + r.id.text() + " is Canceled";
    else if (r.is_open() && !loose(r.id) && !queued.count(r.id)) broken = "open record " + r.id.text() + " is not queued";
  });
  return broken;
}

}  // namespace quorvane
