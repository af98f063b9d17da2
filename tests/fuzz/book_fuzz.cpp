// Fuzz target for the engine alone. The input is a session: byte 0 picks the
// tick size, then operations as Session::step reads them (a missing byte
// reads as 0), run against a Book and a plain model. After every operation
// the whole book is compared with the model and its invariant checker runs;
// a difference prints the decoded session and aborts.
// QUORVANE_FUZZ_PRINT=1 prints every session decoded.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "book/book.hpp"
#include "model/entropy.hpp"

using namespace quorvane;

// Every form of new and delete that the engine or libFuzzer uses is replaced,
// so that ASan never sees a pair from different allocators, and so that any
// allocation the engine makes, aligned ones included, can be made to fail.
static long allocations_until_failure = -1;  // -1: no allocation fails
static void* allocate(std::size_t n, std::size_t align = 1) {
  if (allocations_until_failure >= 0 && allocations_until_failure-- == 0) throw std::bad_alloc();
  n = (std::max<std::size_t>(n, 1) + align - 1) / align * align;
  if (void* p = align > 1 ? std::aligned_alloc(align, n) : std::malloc(n)) return p;
  throw std::bad_alloc();
}

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

// Arms a failing allocation while it lives: (FailingAllocation(n), operation())
// fails the operation's n-th allocation, if it makes that many, and no other.
struct FailingAllocation {
  explicit FailingAllocation(long n) { allocations_until_failure = n; }
  ~FailingAllocation() { allocations_until_failure = -1; }
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min(), kMax = -(kMin + 1);

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
  return std::isnan(a) || std::isnan(b) ? std::isnan(a) && std::isnan(b) : a == b && std::signbit(a) == std::signbit(b);
}
bool same(const OrderRecord& a, const OrderRecord& b) {
  return a.id == b.id && a.side == b.side && a.price_in_ticks == b.price_in_ticks && same(a.quantity, b.quantity) &&
         a.status == b.status && a.timestamp == b.timestamp;
}
bool same(const Trade& a, const Trade& b) {  // timestamps are checked against the clock instead
  return same(a.quantity, b.quantity) && same(a.price, b.price) && a.buy_id == b.buy_id && a.sell_id == b.sell_id;
}
constexpr auto same_value = [](const auto& a, const auto& b) { return same(a, b); };

// The book as plainly as it can be written: the records by id text, and each
// side's resting orders in the order they match (best price, then arrival).
struct Model {
  double tick_size;
  std::map<std::string, OrderRecord> records;
  std::vector<OrderRecord> queued[2];  // bids, asks

  void put(const OrderRecord& r) { records[r.id.text()] = r; }
  static bool crosses(const OrderRecord& a, const OrderRecord& b) {  // a buy at or above a sell
    const OrderRecord &buy = a.side == Side::Buy ? a : b, &sell = a.side == Side::Buy ? b : a;
    return a.side != b.side && buy.price_in_ticks >= sell.price_in_ticks;
  }
  static bool better(const OrderRecord& a, const OrderRecord& b) {  // the price of `a` matches first
    return a.side == Side::Buy ? a.price_in_ticks > b.price_in_ticks : a.price_in_ticks < b.price_in_ticks;
  }

  // The pairwise trade of resting order `a` and incoming order `b`.
  Trade step(OrderRecord& a, OrderRecord& b) const {
    const double m = std::isnan(a.quantity) ? b.quantity : std::isnan(b.quantity) ? a.quantity
                                                                                   : std::min(a.quantity, b.quantity);
    a.quantity -= m;
    b.quantity -= m;
    if (a.quantity <= 0.0) a.status = Status::Filled;
    if (b.quantity <= 0.0) b.status = Status::Filled;
    const OrderRecord& sell = a.side == Side::Sell ? a : b;
    return {m, static_cast<double>(sell.price_in_ticks) * tick_size, 0, a.side == Side::Buy ? a.id : b.id, sell.id};
  }

  std::vector<Trade> add(OrderRecord in) {
    std::vector<Trade> trades;
    auto& other = queued[in.side == Side::Buy];
    while (in.is_open() && !other.empty() && crosses(other.front(), in)) {
      OrderRecord& resting = other.front();
      trades.push_back(step(resting, in));
      put(resting);
      const bool both_open = resting.is_open() && in.is_open();
      if (!resting.is_open()) other.erase(other.begin());
      if (both_open) break;  // both non-finite: no further step would finish either
    }
    auto& own = queued[in.side == Side::Sell];
    if (in.is_open()) own.insert(std::upper_bound(own.begin(), own.end(), in, better), in);
    put(in);
    return trades;
  }
};

// The first kind of difference between the book and the model, if any.
const char* difference(const Book& book, const Model& model) {
  for (const auto& [id, r] : model.records) {
    if (const auto held = book.find(r.id); !held || !same(*held, r)) return "a record";
  }
  if (book.order_count() != model.records.size()) return "the number of records";
  for (Side side : {Side::Buy, Side::Sell}) {
    const auto& queue = model.queued[side == Side::Sell];
    auto expected = queue;  // walked by ascending price, each price by arrival
    std::stable_sort(expected.begin(), expected.end(),
                     [](const OrderRecord& a, const OrderRecord& b) { return a.price_in_ticks < b.price_in_ticks; });
    std::vector<OrderRecord> walked;
    book.walk(side, [&](const OrderRecord& r) { walked.push_back(r); });
    if (!std::equal(walked.begin(), walked.end(), expected.begin(), expected.end(), same_value)) return "a walk";
    if (book.resting_count(side) != expected.size()) return "a resting count";
    double volume = -0.0;
    for (const auto& r : expected) volume += r.quantity;
    if (!same(book.volume(side), volume)) return "a volume";
    const auto top = side == Side::Buy ? book.best_bid() : book.best_ask();
    if (top.has_value() != !queue.empty() ||
        (top && (top->price_in_ticks != queue[0].price_in_ticks || !same(top->quantity, queue[0].quantity))))
      return "a best bid or ask";
  }
  const auto spread = book.spread();
  const auto &bids = model.queued[0], &asks = model.queued[1];
  if (spread.has_value() != (!bids.empty() && !asks.empty()) ||
      (spread && !same(*spread, model.tick_size * static_cast<double>(asks[0].price_in_ticks -
                                                                       bids[0].price_in_ticks))))
    return "the spread";
  return nullptr;
}

constexpr double kTickSizes[] = {0.01, 1.0, 0.25, 0.0, -0.01, kInf, kNaN, 1e300};
enum Op : std::uint8_t { Make, Add, AddBookCopy, Fill, Cancel, Update, FailAlloc, kOps };

class Session {
 public:
  Session(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  void run() try {
    note("tick size %.17g", book_.tick_size());
    while (at_ < size_) {
      const Op op = static_cast<Op>(byte() % kOps);
      const std::uint8_t b = byte();  // a side, an order's number or an allocation's
      const Model before = model_;
      try {
        step(op, b);
      } catch (const std::bad_alloc&) {  // the book is as before, or as after: a check build's self-check allocates
        note("%s", "  ran out of memory");
        if (difference(book_, model_) && difference(book_, before)) fail("a failed operation half changed the book");
        if (difference(book_, model_)) model_ = before;
      }
      fail_at_ = op == FailAlloc ? b : -1;
      if (const char* d = difference(book_, model_)) fail(std::string("book and model differ in ") + d);
      if (auto broken = book_.check_invariants()) fail("invariant broken: " + *broken);
    }
    if (std::getenv("QUORVANE_FUZZ_PRINT")) std::fprintf(stderr, "%s\n", log_.c_str());
  } catch (const std::exception& e) {
    fail(std::string("exception: ") + e.what());
  }

 private:
  // One operation and its checks: the model changes first, then the book,
  // with the allocation failure armed for the book's operation alone.
  void step(Op op, std::uint8_t b) {
    if (op == Make) {  // a rejection leaves `out` alone; an order made is Open, as asked, stamped during the call
      const Side side = b & 1 ? Side::Sell : Side::Buy;
      const std::int64_t ticks = read_ticks();
      const double quantity = read_quantity();
      note("make #%zu: %s %lld x %.17g", made_.size(), side_name(side), static_cast<long long>(ticks), quantity);
      const Rejection expected = ticks < 1 ? Rejection::PriceInTicksNotPositive
                                 : quantity <= 0.0 ? Rejection::QuantityNotPositive : Rejection::None;
      OrderRecord out;
      const std::uint64_t t0 = wall_clock_ns();
      const Rejection got = make_order(side, ticks, quantity, out);
      const std::uint64_t t1 = wall_clock_ns();
      const bool made = out.side == side && out.price_in_ticks == ticks && same(out.quantity, quantity) &&
                        out.is_open() && out.timestamp >= t0 && out.timestamp <= t1;
      if (got != expected || !(got == Rejection::None ? made : same(out, OrderRecord{})))
        fail("make_order's result differs");
      if (got == Rejection::None) return made_.push_back(out);
      return note("  rejected: %s", rejection_message(got));
    }
    if (op == FailAlloc) return note("the next operation's allocation %d fails", b);
    if (made_.empty()) return;
    const std::size_t k = b % made_.size();
    OrderRecord& order = made_[k];
    if (op == Add || op == AddBookCopy) {  // the book's copy as get_order hands it to Python
      const std::optional<OrderRecord> added = op == Add ? order : book_.find(order.id);
      if (!added) return;
      note("add %s#%zu", op == Add ? "" : "the book's copy of ", k);
      const auto expected = model_.add(*added);
      const std::uint64_t t0 = wall_clock_ns();
      const auto trades = (FailingAllocation(fail_at_), book_.add(*added));
      const std::uint64_t t1 = wall_clock_ns();
      note("  %zu trades", trades.size());
      if (!std::equal(trades.begin(), trades.end(), expected.begin(), expected.end(), same_value))
        fail("the trades differ from the model's");
      for (std::size_t i = 0; i < trades.size(); ++i) {
        if (trades[i].timestamp < (i ? trades[i - 1].timestamp : t0) || trades[i].timestamp > t1)
          fail("trade timestamps out of order or outside the call");
      }
    } else if (op == Fill) {  // Order.fill between two of the caller's orders
      const std::size_t j = byte() % made_.size();
      if (j == k) return;
      note("fill #%zu with #%zu", k, j);
      OrderRecord x = order, y = made_[j];
      const bool matches = Model::crosses(x, y);
      const Trade expected = matches ? model_.step(x, y) : Trade{};
      Trade got;
      if (fill_step(order, made_[j], model_.tick_size, got) != matches || !same(order, x) || !same(made_[j], y) ||
          (matches && !same(got, expected)))
        fail("fill_step differs from the model's step");
    } else if (op == Cancel) {
      note("cancel #%zu", k);
      const bool known = model_.records.erase(order.id.text()) > 0;
      std::erase_if(model_.queued[order.side == Side::Sell], [&](const OrderRecord& q) { return q.id == order.id; });
      const bool cancelled = (FailingAllocation(fail_at_), book_.cancel(order.id));
      if (cancelled != known) fail("cancel's result differs");
    } else if (op == Update) {  // any quantity, status Open or Filled
      OrderRecord changed = order;
      changed.quantity = read_quantity();
      changed.status = byte() & 1 ? Status::Filled : Status::Open;
      note("update #%zu to %.17g %s", k, changed.quantity, status_name(changed.status));
      model_.put(changed);
      (FailingAllocation(fail_at_), book_.update(changed));
    }
  }

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint64_t raw() {  // any value
    std::uint64_t bits = 0;
    for (int shift = 0; shift < 64; shift += 8) bits |= std::uint64_t{byte()} << shift;
    return bits;
  }
  // Mostly eight levels around 100 ticks, so that orders meet; else an extreme or any value.
  std::int64_t read_ticks() {
    constexpr std::int64_t extremes[] = {1, 2, kMax - 1, kMax, 0, -1, kMin};
    const std::uint8_t b = byte();
    return b < 0xc0 ? 96 + b % 8 : b % 8 < 7 ? extremes[b % 8] : static_cast<std::int64_t>(raw());
  }
  double read_quantity() {
    constexpr double table[] = {1, 2, 3, 4, 5, 7, 10, 0.5, 0.1, 0.2, 0.3, 0.125, 0.375, 2.675, 1.5, 1e-300, 5e-324,
                                1e-310, 2.2250738585072014e-308, 1.7976931348623157e308, 1e300, 1e21, 1e23, kNaN,
                                kInf, -kInf, -0.0, 0.0, -1.0, -kNaN, 6};
    const std::size_t i = byte() % 32;
    return i < std::size(table) ? table[i] : std::bit_cast<double>(raw());
  }

  template <class... Args>
  void note(const char* f, Args... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, f, args...);
    (log_ += buf) += '\n';
  }
  [[noreturn]] void fail(const std::string& what) const {
    std::fprintf(stderr, "\n== session ==\n%s== %s\n", log_.c_str(), what.c_str());
    std::abort();
  }

  const std::uint8_t* data_;
  std::size_t size_, at_ = 0;
  Book book_{kTickSizes[byte() % std::size(kTickSizes)]};
  Model model_{book_.tick_size(), {}, {}};
  std::vector<OrderRecord> made_;  // the caller's orders, changed only by fill
  long fail_at_ = -1;              // -1: no allocation fails
  std::string log_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  [[maybe_unused]] static const bool set_up = (set_entropy_source(counting_entropy), true);
  Session(data, size).run();
  return 0;
}
