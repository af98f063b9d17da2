// Fuzz target for the engine alone. The input bytes decode into a session of
// order making, adds, fills between the caller's orders, cancels, updates and
// failing allocations, run against a Book and against a deliberately plain
// model (two vectors scanned linearly). After every operation the whole book
// is compared with the model and its own invariant checker runs; a difference
// prints the decoded session and aborts.
//
// Sessions do only what Python can: orders are made by make_order or
// create_order and then changed only by fill_step, so an id's side, price and
// timestamp never change; update() carries any quantity and status Open or
// Filled, never Canceled.
//
// Input: byte 0 picks the tick size, then operations until the bytes run out,
// each an operation byte and its arguments (Session::run); a missing byte
// reads as 0. QUORVANE_FUZZ_PRINT=1 prints every session decoded (run the
// target on a seed file to read it); QUORVANE_FUZZ_ALLOC_FAILURES=0 turns the
// failing allocations off.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "book/book.hpp"
#include "model/entropy.hpp"

using namespace quorvane;

// Every form of new and delete that the engine or libFuzzer uses is replaced,
// so that ASan never sees a pair from different allocators.
namespace {
long allocations_until_failure = -1;  // -1: no allocation fails
bool allocation_failures = true;

void* allocate(std::size_t n) {
  if (allocations_until_failure >= 0 && allocations_until_failure-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Ids from a counter through splitmix64: reproducible, never repeated in a process.
int counting_entropy(void* buffer, std::size_t length) {
  static std::uint64_t counter = 0;
  for (std::size_t i = 0; i < length; i += 8) {
    std::uint64_t z = (counter += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    std::memcpy(static_cast<char*>(buffer) + i, &z, std::min<std::size_t>(8, length - i));
  }
  return 0;
}

bool same(double a, double b) {  // NaN equals NaN; -0.0 differs from 0.0
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

bool same(const OrderRecord& a, const OrderRecord& b) {
  return a.id == b.id && a.side == b.side && a.price_in_ticks == b.price_in_ticks && same(a.quantity, b.quantity) &&
         a.status == b.status && a.timestamp == b.timestamp;
}

bool same(const Trade& a, const Trade& b) {  // timestamps are checked against the clock instead
  return same(a.quantity, b.quantity) && same(a.price, b.price) && a.buy_id == b.buy_id && a.sell_id == b.sell_id;
}

std::string text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string text(const OrderRecord& r) {
  return std::string(side_name(r.side)) + " " + std::to_string(r.price_in_ticks) + " x " + text(r.quantity) + " " +
         status_name(r.status) + " " + r.id.text().substr(0, 8) + " t" + std::to_string(r.timestamp);
}

// The book as plainly as it can be written: records in one vector, every
// resting order of both sides in another, in arrival order.
struct Model {
  double tick_size;
  std::vector<OrderRecord> records;
  std::vector<OrderRecord> queued;

  void put(const OrderRecord& r) {
    auto old = std::find_if(records.begin(), records.end(), [&](const OrderRecord& x) { return x.id == r.id; });
    if (old == records.end()) records.push_back(r);
    else *old = r;
  }

  static bool crosses(const OrderRecord& a, const OrderRecord& b) {
    if (a.side == b.side) return false;
    return a.side == Side::Buy ? a.price_in_ticks >= b.price_in_ticks : b.price_in_ticks >= a.price_in_ticks;
  }

  // The pairwise trade of resting order `a` and incoming order `b`.
  Trade step(OrderRecord& a, OrderRecord& b) const {
    const double m = std::isnan(a.quantity)   ? b.quantity
                     : std::isnan(b.quantity) ? a.quantity
                                              : std::min(a.quantity, b.quantity);
    a.quantity -= m;
    b.quantity -= m;
    if (a.quantity <= 0.0) a.status = Status::Filled;
    if (b.quantity <= 0.0) b.status = Status::Filled;
    const OrderRecord& buy = a.side == Side::Buy ? a : b;
    const OrderRecord& sell = a.side == Side::Buy ? b : a;
    return {m, static_cast<double>(sell.price_in_ticks) * tick_size, 0, buy.id, sell.id};
  }

  // Where in `queued` the first order at the best price of `side` is, or -1.
  long front_of_best(Side side) const {
    long best = -1;
    for (std::size_t i = 0; i < queued.size(); ++i) {
      if (queued[i].side != side) continue;
      const std::int64_t p = queued[i].price_in_ticks;
      if (best < 0 || (side == Side::Buy ? p > queued[best].price_in_ticks : p < queued[best].price_in_ticks))
        best = static_cast<long>(i);
    }
    return best;
  }

  std::vector<Trade> add(OrderRecord in) {
    std::vector<Trade> trades;
    while (in.is_open()) {
      const long i = front_of_best(in.side == Side::Buy ? Side::Sell : Side::Buy);
      if (i < 0 || !crosses(queued[i], in)) break;
      OrderRecord resting = queued[i];
      trades.push_back(step(resting, in));
      if (resting.is_open()) queued[i] = resting;
      else queued.erase(queued.begin() + i);
      put(resting);
      if (resting.is_open() && in.is_open()) break;  // both non-finite: no further step would finish either
    }
    if (in.is_open()) queued.push_back(in);
    put(in);
    return trades;
  }

  bool cancel(const OrderId& id) {
    const auto known = [&](const OrderRecord& r) { return r.id == id; };
    if (std::none_of(records.begin(), records.end(), known)) return false;
    std::erase_if(queued, known);  // an id's copies all share its side and price
    std::erase_if(records, known);
    return true;
  }

  std::vector<OrderRecord> walk(Side side) const {
    std::vector<OrderRecord> out;
    std::copy_if(queued.begin(), queued.end(), std::back_inserter(out), [&](auto& q) { return q.side == side; });
    std::stable_sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.price_in_ticks < b.price_in_ticks; });
    return out;
  }

  std::optional<TopOfBook> best(Side side) const {
    const long i = front_of_best(side);
    if (i < 0) return std::nullopt;
    return TopOfBook{queued[i].price_in_ticks, queued[i].quantity};
  }

  double volume(Side side) const {
    double total = -0.0;
    for (const auto& q : walk(side)) total += q.quantity;
    return total;
  }

  std::optional<double> spread() const {
    const auto bid = best(Side::Buy), ask = best(Side::Sell);
    if (!bid || !ask) return std::nullopt;
    return tick_size * static_cast<double>(ask->price_in_ticks - bid->price_in_ticks);
  }
};

// The first difference between the book and the model, if any.
std::optional<std::string> difference(const Book& book, const Model& model) {
  for (const auto& r : model.records) {
    std::optional<OrderRecord> held;
    if (auto b = book.find(r.id)) held = *b;
    if (!held || !same(*held, r)) return "record " + (held ? text(*held) : "missing") + ", model " + text(r);
  }
  if (book.order_count() != model.records.size())
    return std::to_string(book.order_count()) + " records, model " + std::to_string(model.records.size());
  for (Side side : {Side::Buy, Side::Sell}) {
    const std::string name = side_name(side);
    std::vector<OrderRecord> walked;
    book.walk(side, [&](const OrderRecord& r) { walked.push_back(r); });
    const auto expected = model.walk(side);
    if (walked.size() != expected.size() || book.resting_count(side) != expected.size())
      return name + " side holds " + std::to_string(walked.size()) + ", model " + std::to_string(expected.size());
    for (std::size_t i = 0; i < walked.size(); ++i)
      if (!same(walked[i], expected[i]))
        return name + " order " + std::to_string(i) + ": " + text(walked[i]) + ", model " + text(expected[i]);
    const auto top = side == Side::Buy ? book.best_bid() : book.best_ask();
    const auto model_top = model.best(side);
    if (top.has_value() != model_top.has_value() ||
        (top && (top->price_in_ticks != model_top->price_in_ticks || !same(top->quantity, model_top->quantity))))
      return "best " + name + " differs";
    if (!same(book.volume(side), model.volume(side)))
      return name + " volume " + text(book.volume(side)) + ", model " + text(model.volume(side));
  }
  const auto spread = book.spread(), model_spread = model.spread();
  if (spread.has_value() != model_spread.has_value() || (spread && !same(*spread, *model_spread)))
    return "spread differs";
  return std::nullopt;
}

struct Input {
  const std::uint8_t* data;
  std::size_t size, at = 0;

  bool done() const { return at >= size; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  template <class T>
  T raw() {
    unsigned char bytes[sizeof(T)];
    for (auto& b : bytes) b = byte();
    T v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
  }
  Side side() { return byte() & 1 ? Side::Sell : Side::Buy; }

  // Mostly eight levels around 100 ticks, so that orders meet; else an extreme or any value.
  std::int64_t ticks() {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t extremes[] = {1, 2, max - 1, max, 0, -1, std::numeric_limits<std::int64_t>::min()};
    const std::uint8_t b = byte();
    if (b < 0xc0) return 96 + b % 8;
    return b % 8 < std::size(extremes) ? extremes[b % 8] : raw<std::int64_t>();
  }

  double quantity() {
    constexpr double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double table[] = {1, 2, 3, 4, 5, 7, 10, 0.5, 0.1, 0.2, 0.3, 0.125, 0.375, 2.675, 1.5, 1e-300,
                                5e-324, 1e-310, 2.2250738585072014e-308, 1.7976931348623157e308, 1e300, 1e21,
                                1e23, nan, inf, -inf, -0.0, 0.0, -1.0, -nan, 6};
    const std::size_t i = byte() % 32;
    return i < std::size(table) ? table[i] : raw<double>();
  }

  double price() {  // in price units, for create_order
    constexpr double table[] = {0.01, 1.0, 1.01, 0.025, 0.005, 0.004, 1.005, 0.035, 0.0, -0.0, -1.0,
                                std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                                1e300, 5e-324};
    const std::size_t i = byte() % 16;
    return i < std::size(table) ? table[i] : raw<double>();
  }
};

enum Op : std::uint8_t { Make, Create, Add, AddBookCopy, Fill, Cancel, CancelUnknown, Update, Summary, FailAlloc, kOps };

class Session {
 public:
  explicit Session(double tick_size) : book_(tick_size), model_{tick_size, {}, {}} {
    log_ = "tick size " + text(tick_size) + "\n";
  }

  void run(Input& in) {
    while (!in.done()) {
      const Op op = static_cast<Op>(in.byte() % kOps);
      switch (op) {  // one declaration per argument, so that they are read in order
        case Make: {
          const Side side = in.side();
          const std::int64_t ticks = in.ticks();
          make(side, ticks, in.quantity());
        } break;
        case Create: {
          const Side side = in.side();
          const double price = in.price();
          create(side, price, in.quantity());
        } break;
        case Add: if (auto i = pick(in)) add(made_[*i], "#" + std::to_string(*i)); break;
        case AddBookCopy: if (auto i = pick(in)) add_book_copy(*i); break;
        case Fill: {
          const auto i = pick(in);
          const auto j = pick(in);
          if (i && j && *i != *j) fill(made_[*i], made_[*j]);
        } break;
        case Cancel: if (auto i = pick(in)) cancel(made_[*i].id, "#" + std::to_string(*i)); break;
        case CancelUnknown: cancel(unknown_id(in), "an id never made"); break;
        case Update: {
          const auto i = pick(in);
          const double quantity = in.quantity();
          const Status status = in.byte() & 1 ? Status::Filled : Status::Open;
          if (i) update(*i, quantity, status);
        } break;
        case Summary: summary(); break;
        case FailAlloc: arm(in.byte()); break;
        case kOps: break;
      }
      if (op != FailAlloc) fail_at_.reset();
      if (auto d = difference(book_, model_)) fail("book and model differ: " + *d);
      if (auto broken = book_.check_invariants()) fail("invariant broken: " + *broken);
    }
    if (std::getenv("QUORVANE_FUZZ_PRINT")) std::fprintf(stderr, "%s\n", log_.c_str());
  }

 private:
  static constexpr std::size_t kMaxOrders = 48;

  std::optional<std::size_t> pick(Input& in) {
    const std::uint8_t b = in.byte();
    if (made_.empty()) return std::nullopt;
    return b % made_.size();
  }

  // An id that new_order_id() cannot make: its version nibble is not 4.
  static OrderId unknown_id(Input& in) {
    unsigned char bytes[16];
    for (auto& b : bytes) b = in.byte();
    bytes[6] &= 0x0f;
    return OrderId::from_bytes(bytes);
  }

  [[noreturn]] void fail(const std::string& what) const {
    std::fprintf(stderr, "\n== session ==\n%s== %s\n", log_.c_str(), what.c_str());
    std::abort();
  }

  // Makes the n-th allocation of the next operation fail.
  void arm(std::uint8_t n) {
    if (!allocation_failures) return;
    fail_at_ = n;
    log_ += "the next operation's allocation " + std::to_string(n) + " fails\n";
  }

  // Runs a book operation under the armed allocation failure; false when it threw bad_alloc.
  template <class F>
  bool attempt(F&& operation) {
    allocations_until_failure = fail_at_.value_or(-1);
    try {
      operation();
      allocations_until_failure = -1;
      return true;
    } catch (const std::bad_alloc&) {
      allocations_until_failure = -1;
      log_ += "  ran out of memory\n";
      return false;
    } catch (const std::exception& e) {
      allocations_until_failure = -1;
      fail(std::string("exception: ") + e.what());
    }
  }

  // After a failed operation (model_ already past it) the book is as before
  // or as after it: a check build's self-check allocates once the change is made.
  void expect_whole(const Model& before) {
    if (!difference(book_, model_)) return;
    if (auto d = difference(book_, before)) fail("a failed operation left the book half changed: " + *d);
    model_ = before;
  }

  void make(Side side, std::int64_t ticks, double quantity) {
    log_ += "make " + std::string(side_name(side)) + " " + std::to_string(ticks) + " x " + text(quantity) + "\n";
    const Rejection expected = ticks < 1 ? Rejection::PriceInTicksNotPositive
                               : quantity <= 0.0 ? Rejection::QuantityNotPositive : Rejection::None;
    OrderRecord out;
    const std::uint64_t t0 = wall_clock_ns();
    check_made(expected, make_order(side, ticks, quantity, out), out, {side, ticks, quantity}, t0);
  }

  void create(Side side, double price, double quantity) {
    log_ += "create " + std::string(side_name(side)) + " at " + text(price) + " x " + text(quantity) + "\n";
    const double q = price / model_.tick_size;
    const std::int64_t ticks = std::isnan(q) ? 0
                               : q >= 0x1p63 ? std::numeric_limits<std::int64_t>::max()
                               : q < -0x1p63 ? std::numeric_limits<std::int64_t>::min()
                                             : static_cast<std::int64_t>(std::round(q));
    if (book_.ticks_for(price) != ticks) fail("ticks_for gives " + std::to_string(book_.ticks_for(price)));
    const Rejection expected = price <= 0.0 || quantity <= 0.0 ? Rejection::PriceOrQuantityNotPositive
                               : ticks < 1 ? Rejection::ResultingTicksNotPositive : Rejection::None;
    OrderRecord out;
    const std::uint64_t t0 = wall_clock_ns();
    check_made(expected, book_.create_order(side, price, quantity, out), out, {side, ticks, quantity}, t0);
  }

  struct Asked {
    Side side;
    std::int64_t ticks;
    double quantity;
  };

  void check_made(Rejection expected, Rejection got, const OrderRecord& out, Asked asked, std::uint64_t t0) {
    const std::uint64_t t1 = wall_clock_ns();
    if (got != expected) fail(std::string("rejection '") + rejection_message(got) + "'");
    if (got != Rejection::None) {
      if (!same(out, OrderRecord{})) fail("a rejected order changed its output");
      log_ += std::string("  rejected: ") + rejection_message(got) + "\n";
      return;
    }
    if (out.side != asked.side || out.price_in_ticks != asked.ticks || !same(out.quantity, asked.quantity) ||
        !out.is_open() || out.timestamp < t0 || out.timestamp > t1)
      fail("made " + text(out));
    if (made_.size() == kMaxOrders) return;
    made_.push_back(out);
    log_ += "  -> #" + std::to_string(made_.size() - 1) + " " + out.id.text() + "\n";
  }

  void add(const OrderRecord& order, const std::string& name) {
    log_ += "add " + name + " " + text(order) + "\n";
    const Model before = model_;
    const auto expected = model_.add(order);
    std::span<const Trade> trades;
    const std::uint64_t t0 = wall_clock_ns();
    if (!attempt([&] { trades = book_.add(order); })) return expect_whole(before);
    const std::uint64_t t1 = wall_clock_ns();
    log_ += "  " + std::to_string(trades.size()) + " trades\n";
    if (trades.size() != expected.size())
      fail(std::to_string(trades.size()) + " trades, model " + std::to_string(expected.size()));
    for (std::size_t i = 0; i < trades.size(); ++i) {
      if (!same(trades[i], expected[i]))
        fail("trade " + std::to_string(i) + ": " + text(trades[i].quantity) + " @ " + text(trades[i].price) +
             ", model " + text(expected[i].quantity) + " @ " + text(expected[i].price) + " (or other ids)");
      if (trades[i].timestamp < (i ? trades[i - 1].timestamp : t0) || trades[i].timestamp > t1)
        fail("trade timestamps out of order or outside the call");
    }
  }

  void add_book_copy(std::size_t i) {
    if (auto r = book_.find(made_[i].id)) {
      const OrderRecord copy = *r;  // as get_order hands it to Python
      add(copy, "the book's copy of #" + std::to_string(i));
    }
  }

  // Order.fill between two of the caller's orders.
  void fill(OrderRecord& self, OrderRecord& incoming) {
    log_ += "fill " + text(self) + " with " + text(incoming) + "\n";
    OrderRecord a = self, b = incoming;
    const bool matches = Model::crosses(a, b);
    const Trade expected = matches ? model_.step(a, b) : Trade{};
    Trade got;
    if (fill_step(self, incoming, model_.tick_size, got) != matches) fail("fill_step's match test differs");
    if (!same(self, a) || !same(incoming, b) || (matches && !same(got, expected)))
      fail("fill_step left " + text(self) + " and " + text(incoming) + ", traded " + text(got.quantity));
  }

  void cancel(const OrderId& id, const std::string& name) {
    log_ += "cancel " + name + "\n";
    const Model before = model_;
    const bool expected = model_.cancel(id);
    bool got = false;
    if (!attempt([&] { got = book_.cancel(id); })) return expect_whole(before);
    if (got != expected) fail(std::string("cancel returned ") + (got ? "true" : "false"));
  }

  void update(std::size_t i, double quantity, Status status) {
    OrderRecord changed = made_[i];
    changed.quantity = quantity;
    changed.status = status;
    log_ += "update #" + std::to_string(i) + " to " + text(changed) + "\n";
    const Model before = model_;
    model_.put(changed);
    if (!attempt([&] { book_.update(changed); })) expect_whole(before);
  }

  // The summary's text is checked against a model in the Python tests; here, that it runs.
  void summary() {
    log_ += "summary\n";
    attempt([&] { (void)book_.summary(); });
  }

  Book book_;
  Model model_;
  std::vector<OrderRecord> made_;  // the caller's orders, changed only by fill
  std::optional<long> fail_at_;
  std::string log_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool set_up = [] {
    set_entropy_source(counting_entropy);
    const char* setting = std::getenv("QUORVANE_FUZZ_ALLOC_FAILURES");
    allocation_failures = !setting || std::strcmp(setting, "0") != 0;
    return true;
  }();
  (void)set_up;
  constexpr double tick_sizes[] = {0.01, 1.0, 0.25, 0.0, -0.01, std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN(), 1e300};
  Input in{data, size};
  Session session(tick_sizes[in.byte() % std::size(tick_sizes)]);
  session.run(in);
  return 0;
}
