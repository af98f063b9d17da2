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
#include <cstdarg>
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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

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

std::string format(const char* f, ...) {
  char buf[256];
  va_list args;
  va_start(args, f);
  std::vsnprintf(buf, sizeof buf, f, args);
  va_end(args);
  return buf;
}

std::string text(const OrderRecord& r) {
  return format("%s %lld x %.17g %s %.8s t%llu", side_name(r.side), static_cast<long long>(r.price_in_ticks),
                r.quantity, status_name(r.status), r.id.text().c_str(), static_cast<unsigned long long>(r.timestamp));
}

// The book as plainly as it can be written: records in one vector, every
// resting order of both sides in another, in arrival order.
struct Model {
  double tick_size;
  std::vector<OrderRecord> records, queued;

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
    const double m = std::isnan(a.quantity) ? b.quantity : std::isnan(b.quantity) ? a.quantity
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
};

// The first difference between the book and the model, if any.
std::optional<std::string> difference(const Book& book, const Model& model) {
  for (const auto& r : model.records) {
    const auto held = book.find(r.id);
    if (!held || !same(*held, r)) return "record " + (held ? text(*held) : "missing") + ", model " + text(r);
  }
  if (book.order_count() != model.records.size()) return format("%zu records", book.order_count());
  std::optional<std::int64_t> best_price[2];
  for (Side side : {Side::Buy, Side::Sell}) {
    std::vector<OrderRecord> walked;
    book.walk(side, [&](const OrderRecord& r) { walked.push_back(r); });
    const auto expected = model.walk(side);
    if (walked.size() != expected.size() || book.resting_count(side) != expected.size())
      return format("%s side holds %zu, model %zu", side_name(side), walked.size(), expected.size());
    double volume = -0.0;
    for (std::size_t i = 0; i < walked.size(); ++i) {
      if (!same(walked[i], expected[i])) return format("%s order %zu: ", side_name(side), i) + text(walked[i]);
      volume += expected[i].quantity;
    }
    const auto top = side == Side::Buy ? book.best_bid() : book.best_ask();
    const long front = model.front_of_best(side);
    if (top.has_value() != (front >= 0) || (top && (top->price_in_ticks != model.queued[front].price_in_ticks ||
                                                    !same(top->quantity, model.queued[front].quantity))))
      return format("best %s differs", side_name(side));
    if (top) best_price[side == Side::Sell] = top->price_in_ticks;
    if (!same(book.volume(side), volume)) return format("%s volume %.17g", side_name(side), book.volume(side));
  }
  const auto spread = book.spread();
  const bool both = best_price[0] && best_price[1];
  if (spread.has_value() != both ||
      (both && !same(*spread, model.tick_size * static_cast<double>(*best_price[1] - *best_price[0]))))
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
    constexpr std::int64_t extremes[] = {1, 2, kMax - 1, kMax, 0, -1, std::numeric_limits<std::int64_t>::min()};
    const std::uint8_t b = byte();
    if (b < 0xc0) return 96 + b % 8;
    return b % 8 < std::size(extremes) ? extremes[b % 8] : raw<std::int64_t>();
  }

  double quantity() {
    constexpr double table[] = {1, 2, 3, 4, 5, 7, 10, 0.5, 0.1, 0.2, 0.3, 0.125, 0.375, 2.675, 1.5, 1e-300,
                                5e-324, 1e-310, 2.2250738585072014e-308, 1.7976931348623157e308, 1e300, 1e21,
                                1e23, kNaN, kInf, -kInf, -0.0, 0.0, -1.0, -kNaN, 6};
    const std::size_t i = byte() % 32;
    return i < std::size(table) ? table[i] : raw<double>();
  }

  double price() {  // in price units, for create_order
    constexpr double table[] = {0.01, 1.0, 1.01, 0.025, 0.005, 0.004, 1.005, 0.035, 0.0, -0.0, -1.0, kNaN, kInf,
                                1e300, 5e-324};
    const std::size_t i = byte() % 16;
    return i < std::size(table) ? table[i] : raw<double>();
  }
};

enum Op : std::uint8_t { Make, Create, Add, AddBookCopy, Fill, Cancel, CancelUnknown, Update, Summary, FailAlloc, kOps };

class Session {
 public:
  explicit Session(double tick_size) : book_(tick_size), model_{tick_size, {}, {}} {
    log_ = format("tick size %.17g\n", tick_size);
  }

  void run(Input& in) {
    while (!in.done()) {
      const Op op = static_cast<Op>(in.byte() % kOps);
      switch (op) {  // one declaration per argument, so that they are read in order
        case Make: {
          const Side side = in.side();
          const std::int64_t ticks = in.ticks();
          const double quantity = in.quantity();
          note("make %s %lld x %.17g", side_name(side), static_cast<long long>(ticks), quantity);
          const Rejection expected = ticks < 1 ? Rejection::PriceInTicksNotPositive
                                     : quantity <= 0.0 ? Rejection::QuantityNotPositive : Rejection::None;
          made(expected, [&](OrderRecord& out) { return make_order(side, ticks, quantity, out); }, side, ticks,
               quantity);
        } break;
        case Create: {
          const Side side = in.side();
          const double price = in.price();
          const double quantity = in.quantity();
          note("create %s at %.17g x %.17g", side_name(side), price, quantity);
          const double q = price / model_.tick_size;
          const std::int64_t ticks = std::isnan(q) ? 0 : q >= 0x1p63 ? kMax
                                     : q < -0x1p63 ? std::numeric_limits<std::int64_t>::min()
                                                   : static_cast<std::int64_t>(std::round(q));
          if (book_.ticks_for(price) != ticks) fail(format("ticks_for gives %lld", (long long)book_.ticks_for(price)));
          const Rejection expected = price <= 0.0 || quantity <= 0.0 ? Rejection::PriceOrQuantityNotPositive
                                     : ticks < 1 ? Rejection::ResultingTicksNotPositive : Rejection::None;
          made(expected, [&](OrderRecord& out) { return book_.create_order(side, price, quantity, out); }, side,
               ticks, quantity);
        } break;
        case Add: if (auto i = pick(in)) add(made_[*i], format("#%zu", *i)); break;
        case AddBookCopy:  // as get_order hands it to Python
          if (auto i = pick(in)) {
            if (auto r = book_.find(made_[*i].id)) add(*r, format("the book's copy of #%zu", *i));
          }
          break;
        case Fill: {
          const auto i = pick(in);
          const auto j = pick(in);
          if (i && j && *i != *j) fill(made_[*i], made_[*j]);
        } break;
        case Cancel: if (auto i = pick(in)) cancel(made_[*i].id, format("#%zu", *i)); break;
        case CancelUnknown: {  // an id that new_order_id() cannot make: its version nibble is not 4
          unsigned char bytes[16];
          for (auto& b : bytes) b = in.byte();
          bytes[6] &= 0x0f;
          cancel(OrderId::from_bytes(bytes), "an id never made");
        } break;
        case Update: {
          const auto i = pick(in);
          const double quantity = in.quantity();
          const Status status = in.byte() & 1 ? Status::Filled : Status::Open;
          if (i) update(*i, quantity, status);
        } break;
        case Summary:  // its text is checked against a model in the Python tests; here, that it runs
          note("summary");
          attempt([&] { (void)book_.summary(); });
          break;
        case FailAlloc: {  // the n-th allocation of the next operation fails
          const std::uint8_t n = in.byte();
          if (allocation_failures) {
            fail_at_ = n;
            note("the next operation's allocation %d fails", n);
          }
        } break;
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

  template <class... Args>
  void note(const char* f, Args... args) {
    (log_ += format(f, args...)) += '\n';
  }

  [[noreturn]] void fail(const std::string& what) const {
    std::fprintf(stderr, "\n== session ==\n%s== %s\n", log_.c_str(), what.c_str());
    std::abort();
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
      note("  ran out of memory");
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

  // A rejection leaves `out` alone; an accepted order is Open, as asked, stamped during the call.
  template <class Make>
  void made(Rejection expected, Make&& make, Side side, std::int64_t ticks, double quantity) {
    OrderRecord out;
    const std::uint64_t t0 = wall_clock_ns();
    const Rejection got = make(out);
    const std::uint64_t t1 = wall_clock_ns();
    if (got != expected) fail(std::string("rejection '") + rejection_message(got) + "'");
    if (got != Rejection::None) {
      if (!same(out, OrderRecord{})) fail("a rejected order changed its output");
      return note("  rejected: %s", rejection_message(got));
    }
    if (out.side != side || out.price_in_ticks != ticks || !same(out.quantity, quantity) || !out.is_open() ||
        out.timestamp < t0 || out.timestamp > t1)
      fail("made " + text(out));
    if (made_.size() == kMaxOrders) return;
    made_.push_back(out);
    note("  -> #%zu %s", made_.size() - 1, out.id.text().c_str());
  }

  void add(const OrderRecord& order, const std::string& name) {
    note("add %s %s", name.c_str(), text(order).c_str());
    const Model before = model_;
    const auto expected = model_.add(order);
    std::span<const Trade> trades;
    const std::uint64_t t0 = wall_clock_ns();
    if (!attempt([&] { trades = book_.add(order); })) return expect_whole(before);
    const std::uint64_t t1 = wall_clock_ns();
    note("  %zu trades", trades.size());
    if (trades.size() != expected.size()) fail(format("%zu trades, model %zu", trades.size(), expected.size()));
    for (std::size_t i = 0; i < trades.size(); ++i) {
      if (!same(trades[i], expected[i]))
        fail(format("trade %zu: %.17g @ %.17g, model %.17g @ %.17g (or other ids)", i, trades[i].quantity,
                    trades[i].price, expected[i].quantity, expected[i].price));
      if (trades[i].timestamp < (i ? trades[i - 1].timestamp : t0) || trades[i].timestamp > t1)
        fail("trade timestamps out of order or outside the call");
    }
  }

  // Order.fill between two of the caller's orders.
  void fill(OrderRecord& self, OrderRecord& incoming) {
    note("fill %s with %s", text(self).c_str(), text(incoming).c_str());
    OrderRecord a = self, b = incoming;
    const bool matches = Model::crosses(a, b);
    const Trade expected = matches ? model_.step(a, b) : Trade{};
    Trade got;
    if (fill_step(self, incoming, model_.tick_size, got) != matches) fail("fill_step's match test differs");
    if (!same(self, a) || !same(incoming, b) || (matches && !same(got, expected)))
      fail("fill_step left " + text(self) + " and " + text(incoming));
  }

  void cancel(const OrderId& id, const std::string& name) {
    note("cancel %s", name.c_str());
    const Model before = model_;
    const bool expected = model_.cancel(id);
    bool got = false;
    if (!attempt([&] { got = book_.cancel(id); })) return expect_whole(before);
    if (got != expected) fail(format("cancel returned %d", got));
  }

  void update(std::size_t i, double quantity, Status status) {
    OrderRecord changed = made_[i];
    changed.quantity = quantity;
    changed.status = status;
    note("update #%zu to %s", i, text(changed).c_str());
    const Model before = model_;
    model_.put(changed);
    if (!attempt([&] { book_.update(changed); })) expect_whole(before);
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
  constexpr double tick_sizes[] = {0.01, 1.0, 0.25, 0.0, -0.01, kInf, kNaN, 1e300};
  Input in{data, size};
  Session session(tick_sizes[in.byte() % std::size(tick_sizes)]);
  session.run(in);
  return 0;
}
