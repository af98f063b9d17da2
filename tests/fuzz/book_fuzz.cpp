// Fuzz target for the engine alone, run under the sanitizers with the book's
// invariant checks on. The input is a session: byte 0 picks the tick size,
// then operations as Session::read takes them (a missing byte reads as 0).
// Each operation runs on the book, where its n-th allocation may be made to
// fail, and then on a twin book. A failed operation must leave the book as it
// was before (the twin then skips it too) or as the twin is after it (a check
// build's self-check allocates once the change is made). After every
// operation the book must show what its twin shows and pass its invariant
// checker; otherwise the decoded session is printed and the target aborts.
// Whether the results are right is the soak's to check against the Python
// model (tools/soak.py). QUORVANE_FUZZ_PRINT=1 prints every session decoded.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "book/book.hpp"
#include "model/entropy.hpp"

using namespace quorvane;

// Every form of new and delete that the engine or libFuzzer uses is replaced,
// so that ASan never sees a pair from different allocators, and so that any
// allocation the engine makes, aligned ones included, can be made to fail.
static long allocations_until_failure = -1;  // -1: no allocation fails
static void* allocate(std::size_t n, std::size_t align = 1) {
  if (allocations_until_failure >= 0 && allocations_until_failure-- == 0) throw std::bad_alloc();  // then -1
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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();

// Ids from a counter times an odd number: reproducible, never repeated in a
// process. The pool asks for whole words.
int counting_entropy(void* buffer, std::size_t length) {
  static std::uint64_t counter = 0;
  for (std::size_t i = 0; i + 8 <= length; i += 8) {
    const std::uint64_t word = ++counter * 0x9e3779b97f4a7c15ULL;
    std::memcpy(static_cast<char*>(buffer) + i, &word, 8);
  }
  return 0;
}

// What a book shows, as words: the record of every order made (or none), then
// both sides in walk order. Quantities go bit for bit: NaN is NaN, -0.0 is not 0.0.
std::vector<std::uint64_t> shown(const Book& book, const std::vector<OrderRecord>& made) {
  std::vector<std::uint64_t> out;
  const auto show = [&](const OrderRecord& r) {
    out.insert(out.end(), {r.id.low_word(), r.id.high_word(), std::bit_cast<std::uint64_t>(r.price_in_ticks),
                           std::bit_cast<std::uint64_t>(r.quantity), r.timestamp,
                           static_cast<std::uint64_t>(r.side) << 8 | static_cast<std::uint64_t>(r.status)});
  };
  for (const auto& order : made) show(book.find(order.id).value_or(OrderRecord{}));
  for (Side side : {Side::Buy, Side::Sell}) book.walk(side, show);
  return out;
}

constexpr double kTickSizes[] = {0.01, 1.0, 0.25, 0.0, -0.01, kInf, kNaN, 1e300};
enum Op : std::uint8_t { Make, Add, AddBookCopy, Cancel, Update, FailAlloc, kOps };

class Session {
 public:
  Session(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  void run() try {
    note("tick size %.17g", book_.tick_size());
    while (at_ < size_) {
      const Op op = static_cast<Op>(byte() % kOps);
      const std::uint8_t b = byte();  // a side, an order's number or an allocation's
      const long fail_at = std::exchange(fail_at_, op == FailAlloc ? b : -1);
      const std::function<void(Book&)> change = read(op, b);
      if (!change) continue;
      const auto before = shown(book_, made_);
      try {
        allocations_until_failure = fail_at;  // its n-th allocation fails, if it makes that many
        change(book_);
        allocations_until_failure = -1;
        change(twin_);
      } catch (const std::bad_alloc&) {  // as before: not made; else the twin makes it too
        note("%s", "  ran out of memory");
        if (shown(book_, made_) != before) change(twin_);
      }
      if (shown(book_, made_) != shown(twin_, made_)) fail("the book and its twin differ");
      if (auto broken = book_.check_invariants()) fail("invariant broken: " + *broken);
    }
    if (std::getenv("QUORVANE_FUZZ_PRINT")) std::fprintf(stderr, "%s\n", log_.c_str());
  } catch (const std::exception& e) {
    fail(std::string("exception: ") + e.what());
  }

 private:
  // Reads one operation; returns the change it makes to a book, if any.
  std::function<void(Book&)> read(Op op, std::uint8_t b) {
    if (op == Make) {
      const Side side = b & 1 ? Side::Sell : Side::Buy;
      const std::int64_t ticks = read_ticks();
      const double quantity = read_quantity();
      note("make #%zu: %s %lld x %.17g", made_.size(), side_name(side), static_cast<long long>(ticks), quantity);
      if (make_order(side, ticks, quantity, made_.emplace_back()) != Rejection::None) made_.pop_back();
      return nullptr;
    }
    if (op == FailAlloc) return note("the next operation's allocation %d fails", b), nullptr;
    if (made_.empty()) return nullptr;
    const std::size_t k = b % made_.size();
    OrderRecord order = made_[k];  // the caller's copy, as made
    if (op == Cancel) {
      note("cancel #%zu", k);
      return [id = order.id](Book& book) { book.cancel(id); };
    }
    if (op == Update) {  // any quantity, status Open or Filled
      order.quantity = read_quantity();
      order.status = byte() & 1 ? Status::Filled : Status::Open;
      note("update #%zu to %.17g %s", k, order.quantity, status_name(order.status));
      return [order](Book& book) { book.update(order); };
    }
    if (op == AddBookCopy) {  // the book's copy, as get_order hands it to Python
      const auto copy = book_.find(order.id);
      if (!copy) return nullptr;
      order = *copy;
    }
    note("add %s#%zu", op == Add ? "" : "the book's copy of ", k);
    return [order](Book& book) { book.add(order); };
  }

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint64_t raw() {  // any value
    std::uint64_t bits = 0;
    for (int shift = 0; shift < 64; shift += 8) bits |= std::uint64_t{byte()} << shift;
    return bits;
  }
  // Mostly eight levels around 100 ticks, so that orders meet; else an extreme or any value.
  std::int64_t read_ticks() {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max(), extremes[] = {1, 2, max - 1, max};
    const std::uint8_t b = byte();
    return b < 0xc0 ? 96 + b % 8 : b < 0xf0 ? extremes[b % 4] : static_cast<std::int64_t>(raw());
  }
  double read_quantity() {
    constexpr double table[] = {1, 2, 3, 5, 0.5, 0.1, 0.2, 0.3, 2.675, 5e-324, 1e-300, 1e300,
                                1.7976931348623157e308, kNaN, kInf, -kInf, -0.0, 0.0, -1.0};
    const std::size_t i = byte() % 20;
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
  Book book_{kTickSizes[byte() % std::size(kTickSizes)]}, twin_{book_.tick_size()};
  std::vector<OrderRecord> made_;  // the caller's orders
  long fail_at_ = -1;              // -1: no allocation fails
  std::string log_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  [[maybe_unused]] static const bool set_up = (set_entropy_source(counting_entropy), true);
  Session(data, size).run();
  return 0;
}
