// Engine checks that Python cannot reach: a failing entropy source, id
// parsing of every byte value, levels made and removed anywhere in a side,
// and filled orders in numbers. Random sessions against a model
// are the fuzz target's (tests/fuzz).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "book/book.hpp"
#include "model/entropy.hpp"

using namespace quorvane;

namespace {

int passed = 0, failed = 0;

void check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

int failing_source(void*, std::size_t) {
  errno = EIO;
  return -1;
}

void entropy_failure_is_internal_and_leaves_nothing() {
  set_entropy_source(failing_source);
  OrderRecord out;
  out.quantity = 42.0;
  std::string message;
  try {
    make_order(Side::Buy, 1, 1.0, out);
  } catch (const InternalFailure& f) {
    message = f.what();
  }
  set_entropy_source(nullptr);
  check(message.rfind("could not retrieve random bytes for uuid: ", 0) == 0, "entropy failure message: " + message);
  check(out.quantity == 42.0, "a failed make_order leaves its output alone");
  check(make_order(Side::Buy, 1, 1.0, out) == Rejection::None, "the real source works again");
}

// Every byte value at every position: only a lowercase hex digit where a digit
// stands, and only a hyphen where a hyphen stands, leaves an id, whose text is
// the text parsed.
void ids_parse_only_their_own_text() {
  const std::string valid = "0123abcd-ef45-6789-a0b1-c2d3e4f5a6b7";
  int wrong = 0;
  for (std::size_t at = 0; at < valid.size(); ++at) {
    const bool hyphen = valid[at] == '-';
    for (int c = 0; c < 256; ++c) {
      std::string text = valid;
      text[at] = static_cast<char>(c);
      const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
      const auto id = OrderId::parse(text);
      if (id.has_value() != (hyphen ? c == '-' : digit) || (id && id->text() != text)) ++wrong;
    }
  }
  check(wrong == 0, "ids parsed from texts with one character changed: " + std::to_string(wrong) + " wrong");
  check(!OrderId::parse("0123456789abcdef0123456789abcdef0123"), "hyphens are required");
}

// Levels made and removed at the touch, beyond the worst price and in the middle,
// enough for the array to regrow several times; emptied levels leave at once and
// may come back (the book checks itself after every change here).
void levels_come_and_go_anywhere() {
  Book book(0.01);
  std::vector<OrderRecord> orders;
  auto rest = [&](Side side, std::int64_t price, double quantity) {
    make_order(side, price, quantity, orders.emplace_back());
    return book.add(orders.back());
  };
  auto walked = [&](Side side) {
    std::vector<std::int64_t> prices;
    book.walk(side, [&](const OrderRecord& r) { prices.push_back(r.price_in_ticks); });
    return prices;
  };
  constexpr Side sides[] = {Side::Buy, Side::Sell};
  auto middle = [](Side side) -> std::int64_t { return side == Side::Buy ? 10'000 : 20'000; };
  for (Side side : sides) {  // asks well above the bids
    const std::int64_t mid = middle(side), away = side == Side::Buy ? -1 : 1;
    for (std::int64_t i = 0; i < 300; ++i) {
      rest(side, mid + away * i, 1.0);  // beyond the worst price
      rest(side, mid - away * (i + 1), 1.0);  // at the touch
    }
    for (std::int64_t i = 1; i < 600; i += 7) rest(side, mid - 300 + i, 1.0);  // to levels that exist
  }
  for (std::size_t i = 0; i < orders.size(); i += 3) book.cancel(orders[i].id);  // all over both sides
  for (Side side : sides) {
    for (std::int64_t i = 0; i < 600; i += 5) rest(side, middle(side) - 300 + i, 1.0);  // into the gaps
    const std::vector<std::int64_t> prices = walked(side);
    const auto best = side == Side::Buy ? book.best_bid() : book.best_ask();
    check(std::is_sorted(prices.begin(), prices.end()) && prices.size() == book.resting_count(side) && best &&
              best->price_in_ticks == (side == Side::Buy ? prices.back() : prices.front()),
          std::string(side_name(side)) + ": levels made and removed anywhere keep the walk in price order");
  }

  for (const auto& o : orders) {  // emptied just below the best bid, then the best; no asks
    const std::int64_t p = o.price_in_ticks;
    if (o.side == Side::Sell || p > 10'150 || (p > 9'700 && p < 10'150)) book.cancel(o.id);
  }
  const std::vector<std::int64_t> prices = walked(Side::Buy);
  check(prices == std::vector<std::int64_t>{9'700, 10'150, 10'150} && book.best_bid()->price_in_ticks == 10'150,
        "walks and the best bid skip emptied levels");
  rest(Side::Buy, 10'200, 2.0);  // at an emptied price
  const OrderId remade = orders.back().id;
  const auto trades = rest(Side::Sell, 10'150, 4.0);
  const auto best = book.best_bid();
  check(trades.size() == 3 && trades[0].buy_id == remade && trades[0].quantity == 2.0 && best &&
            best->price_in_ticks == 9'700 && !book.best_ask(),
        "matching walks from the remade level to the next one holding orders, and stops when the sell fills");
}

// Filled orders leave the live records for the archive, which cancelling most of
// them compacts (the book checks itself, archive included, after every change).
void filled_orders_stay_findable() {
  Book book(1.0);
  std::vector<OrderRecord> asks(600);
  for (auto& a : asks) make_order(Side::Sell, 100, 1.0, a);
  OrderRecord early, sweep;
  make_order(Side::Buy, 90, 1.0, early);  // made before the sweep, added after it
  for (const auto& a : asks) book.add(a);
  make_order(Side::Buy, 100, 500.0, sweep);
  check(book.add(sweep).size() == 500 && book.order_count() == 601, "the sweep fills 500 asks and keeps every id");
  bool filled = true;
  for (std::size_t i = 0; i < asks.size(); ++i) {
    const auto r = book.find(asks[i].id);
    filled = filled && r && r->status == (i < 500 ? Status::Filled : Status::Open) && r->timestamp == asks[i].timestamp;
  }
  check(filled && book.find(sweep.id)->status == Status::Filled, "filled orders are found with their records");
  check(book.add(early).empty() && book.find(early.id) && book.order_count() == 602,
        "an order made before the newest is still new to the book");

  const OrderRecord again = asks[3];  // filled in the book; the caller's copy still says Open
  check(book.add(again).empty() && book.find(again.id)->status == Status::Open && book.order_count() == 602 &&
            book.resting_count(Side::Sell) == 101,
        "a filled order added again comes back: its record takes the add's outcome, and it rests");
  std::size_t cancelled = 0;
  for (std::size_t i = 0; i < 450; ++i) cancelled += book.cancel(asks[i].id);
  check(cancelled == 450 && !book.find(asks[0].id) && book.find(asks[460].id) && book.order_count() == 152,
        "cancelled filled orders are gone, the others stay");
  check(!book.cancel(asks[0].id) && book.cancel(sweep.id) && book.cancel(asks[599].id) && book.order_count() == 150,
        "a second cancel finds nothing; live and filled orders cancel alike");
}

}  // namespace

int main() {
  entropy_failure_is_internal_and_leaves_nothing();
  ids_parse_only_their_own_text();
  levels_come_and_go_anywhere();
  filled_orders_stay_findable();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
