// Engine checks that neither Python nor the fuzz target reaches: the system's
// entropy sources and a failing one, id parsing of every byte value, an id
// table that must not reallocate in steady state, and books of hundreds of
// levels and of filled orders. The build checks the whole book after every
// change, so these tests mostly drive it where small sessions do not go.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "book/book.hpp"
#include "book/id_index.hpp"
#include "model/entropy.hpp"

using namespace quorvane;

namespace {
std::size_t allocations = 0;
}

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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

// Each of the system's sources fills the whole of a request larger than the
// pool, with bytes that differ from draw to draw. The vDSO's may be missing
// (before Linux 6.11), and then says so.
void system_sources_fill_whole_requests() {
  const std::pair<const char*, EntropySource> sources[] = {{"system call", system_call_entropy},
                                                           {"vDSO", vdso_entropy}};
  for (const auto& [name, source] : sources) {
    std::vector<unsigned char> first(10'000), second(10'000);
    errno = 0;
    if (source(first.data(), first.size()) != 0) {
      check(source == vdso_entropy && errno == ENOSYS, std::string(name) + " source failed: errno " +
                                                           std::to_string(errno));
      continue;
    }
    check(source(second.data(), second.size()) == 0, std::string(name) + " source fails the second time");
    const bool tail_written = std::any_of(first.end() - 16, first.end(), [](unsigned char c) { return c != 0; });
    check(tail_written && first != second, std::string(name) + " source fills whole requests with fresh bytes");
  }
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

// An id table held at one size while ids come and go, as the book's is in
// steady trading, allocates nothing once it has grown.
void id_table_in_steady_state_allocates_nothing() {
  std::vector<OrderId> ids(20'000);
  struct Ids {
    const std::vector<OrderId>* ids;
    const OrderId& operator()(std::uint32_t at) const { return (*ids)[at]; }
  };
  IdIndex<Ids> table(Ids{&ids});
  auto put = [&](std::uint32_t at) {
    OrderRecord r;
    make_order(Side::Buy, 1, 1.0, r);
    ids[at] = r.id;
    table.insert(at, id_key(r.id).hash);
  };
  for (std::uint32_t at = 0; at < ids.size(); ++at) put(at);
  for (int round = 0; round < 3; ++round) {
    const std::size_t before = allocations;
    for (std::uint32_t i = 0; i < 100'000; ++i) {
      const std::uint32_t at = (i * 7919u) % static_cast<std::uint32_t>(ids.size());
      table.erase(id_key(ids[at]));
      put(at);
    }
    const std::size_t made = allocations - before;  // before the message allocates
    check(made == 0 || round == 0, "round " + std::to_string(round) + " of replacing ids allocated " +
                                       std::to_string(made) + " times");
  }
}

// Levels made at the touch, beyond the worst price and in the middle, enough
// for a side's array to regrow several times; then a third of the orders
// cancelled all over both sides, and orders rested into the gaps.
void levels_come_and_go_anywhere() {
  Book book(0.01);
  std::vector<OrderRecord> orders;
  auto rest = [&](Side side, std::int64_t price) {
    make_order(side, price, 1.0, orders.emplace_back());
    book.add(orders.back());
  };
  constexpr Side sides[] = {Side::Buy, Side::Sell};
  auto middle = [](Side side) -> std::int64_t { return side == Side::Buy ? 10'000 : 20'000; };
  for (Side side : sides) {  // asks well above the bids
    const std::int64_t mid = middle(side), away = side == Side::Buy ? -1 : 1;
    for (std::int64_t i = 0; i < 300; ++i) {
      rest(side, mid + away * i);  // beyond the worst price
      rest(side, mid - away * (i + 1));  // at the touch
    }
    for (std::int64_t i = 1; i < 600; i += 7) rest(side, mid - 300 + i);  // to levels that exist
  }
  for (std::size_t i = 0; i < orders.size(); i += 3) book.cancel(orders[i].id);  // all over both sides
  for (Side side : sides) {
    for (std::int64_t i = 0; i < 600; i += 5) rest(side, middle(side) - 300 + i);  // into the gaps
    std::vector<std::int64_t> prices;
    book.walk(side, [&](const OrderRecord& r) { prices.push_back(r.price_in_ticks); });
    const auto best = side == Side::Buy ? book.best_bid() : book.best_ask();
    check(std::is_sorted(prices.begin(), prices.end()) && prices.size() == book.resting_count(side) && best &&
              best->price_in_ticks == (side == Side::Buy ? prices.back() : prices.front()),
          std::string(side_name(side)) + ": levels made and removed anywhere keep the walk in price order");
  }
}

// Filled orders leave the live records for the archive, which cancelling most
// of them compacts.
void filled_orders_stay_findable() {
  Book book(1.0);
  std::vector<OrderRecord> asks(600);
  for (auto& a : asks) make_order(Side::Sell, 100, 1.0, a);
  for (const auto& a : asks) book.add(a);
  OrderRecord sweep;
  make_order(Side::Buy, 100, 500.0, sweep);
  bool filled = book.add(sweep).size() == 500;
  for (std::size_t i = 0; i < asks.size(); ++i) {
    const auto r = book.find(asks[i].id);
    filled = filled && r && r->status == (i < 500 ? Status::Filled : Status::Open) && r->timestamp == asks[i].timestamp;
  }
  check(filled && book.find(sweep.id)->status == Status::Filled && book.order_count() == 601,
        "a sweep of 500 asks leaves every record findable");
  check(book.add(asks[3]).empty() && book.find(asks[3].id)->status == Status::Open && book.order_count() == 601 &&
            book.resting_count(Side::Sell) == 101,
        "a filled order added again (the caller's copy still Open) comes back Open, and rests");
  std::size_t cancelled = 0;
  for (std::size_t i = 0; i < 450; ++i) cancelled += book.cancel(asks[i].id);
  check(cancelled == 450 && !book.find(asks[0].id) && book.find(asks[460].id) && !book.cancel(asks[0].id) &&
            book.cancel(sweep.id) && book.order_count() == 150,
        "cancelled filled orders are gone for good, the others stay");
}

}  // namespace

int main() {
  entropy_failure_is_internal_and_leaves_nothing();
  system_sources_fill_whole_requests();
  ids_parse_only_their_own_text();
  id_table_in_steady_state_allocates_nothing();
  levels_come_and_go_anywhere();
  filled_orders_stay_findable();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
