// Engine checks that neither Python nor the fuzz target reaches: the system's
// entropy sources and a failing one, id parsing of every byte value, an id
// table that must not reallocate in steady state, and a book's id chains
// regrown past free slots, aliases and retired orders. (Books of hundreds of
// levels are the LOBSTER replay tests' to drive, filled orders and their
// archive the soak's.)
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
#include "model/order.hpp"

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

// A book whose id table regrows (1,024 buckets to 8,192) while its slots hold
// free ones, aliases (orders added again while resting) and orders retired
// filled: after every change the invariant checks (on in the test build) walk
// the chains, and at the end every order is found as it should be and every
// live one cancels once.
void id_chains_regrow_past_free_slots_aliases_and_retired_orders() {
  Book book(0.01);
  std::vector<OrderRecord> orders;
  auto rest = [&](std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      OrderRecord& o = orders.emplace_back();
      make_order(Side::Sell, 1'000 + static_cast<std::int64_t>(orders.size() % 50), 1.0, o);
      book.add(o);
      if (orders.size() % 97 == 0) book.add(o);  // queued twice: an alias
    }
  };
  std::vector<bool> cancelled;
  auto cancel_every = [&](std::size_t step) {
    cancelled.resize(orders.size());
    for (std::size_t at = 0; at < orders.size(); at += step) {
      if (!cancelled[at]) cancelled[at] = book.cancel(orders[at].id);
    }
  };
  rest(2'000);
  OrderRecord buyer;
  make_order(Side::Buy, 1'004, 400.0, buyer);  // fills the orders of the five lowest prices
  const std::size_t fills = book.add(buyer).size();
  cancel_every(3);
  rest(3'000);
  cancel_every(7);

  std::size_t live = 0, filled = 0, wrong = 0, cancels = 0;
  for (std::size_t at = 0; at < orders.size(); ++at) {
    const std::optional<OrderRecord> found = book.find(orders[at].id);
    if (at < cancelled.size() && cancelled[at]) {
      wrong += found.has_value();
    } else if (!found) {
      ++wrong;
    } else if (found->status == Status::Filled) {
      ++filled;
    } else {
      ++live;
      cancels += book.cancel(orders[at].id) && !book.cancel(orders[at].id);
    }
  }
  check(wrong == 0 && fills > 0 && filled > 0, "orders found as they stand: " + std::to_string(wrong) + " wrong, " +
                                                   std::to_string(filled) + " filled of " + std::to_string(fills));
  check(cancels == live && book.resting_count(Side::Sell) == 0,
        "each live order cancels once: " + std::to_string(cancels) + " of " + std::to_string(live));
}

}  // namespace

int main() {
  for (auto test : {entropy_sources, ids_parse_only_their_own_text, id_table_in_steady_state_allocates_nothing,
                    id_chains_regrow_past_free_slots_aliases_and_retired_orders}) {
    test();
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
