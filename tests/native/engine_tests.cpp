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
#include <vector>

#include "book/book.hpp"
#include "book/id_index.hpp"
#include "model/entropy.hpp"

using namespace quorvane;

static std::size_t allocations = 0;  // by operator new, which the id table uses

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
  if (!ok) std::printf("FAILED: %s\n", what.c_str());
  ++(ok ? passed : failed);
}

// A failing source makes make_order throw InternalFailure and leave its
// output alone. Each of the system's sources fills the whole of a request
// larger than the pool, with bytes that differ from draw to draw; the vDSO's
// may be missing (before Linux 6.11), and then says so.
void entropy_sources() {
  set_entropy_source([](void*, std::size_t) { return errno = EIO, -1; });
  OrderRecord out;
  out.quantity = 42.0;
  std::string message;
  try {
    make_order(Side::Buy, 1, 1.0, out);
  } catch (const InternalFailure& f) {
    message = f.what();
  }
  set_entropy_source(nullptr);  // the tests below make orders from the system's source
  check(message.rfind("could not retrieve random bytes for uuid: ", 0) == 0 && out.quantity == 42.0,
        "a failing source throws and leaves the order alone: " + message);
  for (const EntropySource source : {system_call_entropy, vdso_entropy}) {
    std::vector<unsigned char> first(10'000), second(10'000);
    errno = 0;
    const bool ok = source(first.data(), first.size()) == 0
                        ? source(second.data(), second.size()) == 0 &&
                              std::count(first.end() - 16, first.end(), 0) < 16 && first != second
                        : source == vdso_entropy && errno == ENOSYS;
    check(ok, std::string(source == vdso_entropy ? "vDSO" : "system call") +
                  " source fills a whole request with fresh bytes; errno " + std::to_string(errno));
  }
}

// Every byte value at every position: only a lowercase hex digit where a digit
// stands, and only a hyphen where a hyphen stands, leaves an id, whose text is
// the text parsed.
void ids_parse_only_their_own_text() {
  const std::string valid = "0123abcd-ef45-6789-a0b1-c2d3e4f5a6b7";
  int wrong = 0;
  for (std::size_t at = 0; at < valid.size(); ++at) {
    for (int c = 0; c < 256; ++c) {
      std::string text = valid;
      text[at] = static_cast<char>(c);
      const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
      const auto id = OrderId::parse(text);
      if (id.has_value() != (valid[at] == '-' ? c == '-' : digit) || (id && id->text() != text)) ++wrong;
    }
  }
  check(wrong == 0, "ids parsed from texts with one character changed: " + std::to_string(wrong) + " wrong");
}

// An id table held at one size while ids come and go, as the book's is in
// steady trading, allocates nothing once it has grown (it once rehashed in
// place, again and again).
void id_table_in_steady_state_allocates_nothing() {
  std::vector<OrderRecord> orders(20'000);
  const auto ids = [&](std::uint32_t at) -> const OrderId& { return orders[at].id; };
  IdIndex<decltype(ids)> table(ids);
  auto put = [&](std::uint32_t at) {
    make_order(Side::Buy, 1, 1.0, orders[at]);
    table.insert(at, id_key(orders[at].id).hash);
  };
  for (std::uint32_t at = 0; at < orders.size(); ++at) put(at);
  for (int round = 0; round < 3; ++round) {  // the first may still grow the table
    const std::size_t before = allocations;
    for (std::uint32_t i = 0; i < 100'000; ++i) {
      const std::uint32_t at = i * 7919u % 20'000;
      table.erase(id_key(orders[at].id));
      put(at);
    }
    const std::size_t made = allocations - before;  // before the message allocates
    check(made == 0 || round == 0, "round " + std::to_string(round) + " of replacing ids allocated " +
                                       std::to_string(made) + " times");
  }
}

// On each side, levels made at the touch, beyond the worst price and in the
// middle, enough for the side's array to regrow several times and spread so
// wide that prices share their place in the price index; then a third of the
// orders cancelled all over the side, and orders rested into the gaps.
void levels_come_and_go_anywhere() {
  Book book(0.01);
  std::vector<OrderRecord> orders;
  auto rest = [&](Side side, std::int64_t price) {
    make_order(side, price, 1.0, orders.emplace_back());
    book.add(orders.back());
  };
  for (Side side : {Side::Buy, Side::Sell}) {  // asks well above the bids
    const std::int64_t mid = side == Side::Buy ? 10'000 : 20'000, away = side == Side::Buy ? -1 : 1;
    const std::size_t first = orders.size();
    constexpr std::int64_t half = 700;
    for (std::int64_t i = 0; i < half; ++i) rest(side, mid + away * i), rest(side, mid - away * (i + 1));
    for (std::int64_t i = 1; i < 2 * half; i += 7) rest(side, mid - half + i);  // to levels that exist
    for (std::size_t i = first; i < orders.size(); i += 3) book.cancel(orders[i].id);
    for (std::int64_t i = 0; i < 2 * half; i += 5) rest(side, mid - half + i);  // into the gaps
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
  for (auto& a : asks) make_order(Side::Sell, 100, 1.0, a), book.add(a);
  OrderRecord sweep;
  make_order(Side::Buy, 100, 500.0, sweep);
  bool ok =
      book.add(sweep).size() == 500 && book.find(sweep.id)->status == Status::Filled && book.order_count() == 601;
  for (std::size_t i = 0; i < asks.size(); ++i) {
    const auto r = book.find(asks[i].id);
    ok = ok && r && r->status == (i < 500 ? Status::Filled : Status::Open) && r->timestamp == asks[i].timestamp;
  }
  check(ok, "a sweep of 500 asks leaves every record findable");
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
  for (auto test : {entropy_sources, ids_parse_only_their_own_text, id_table_in_steady_state_allocates_nothing,
                    levels_come_and_go_anywhere, filled_orders_stay_findable}) {
    test();
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
