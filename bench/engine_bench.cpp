// The engine alone, no interpreter: replays flow files (bench/flows.py)
// through quorvane::Book and prints nanoseconds per operation and operations
// per second of each flow's measured part.
//
// Each run starts from a fresh book, replays the warm-up part untimed, then
// times the measured part; the first run is discarded and the median of the
// rest is reported. Time is the process's CPU time by default, so that other
// work on a shared machine does not count (--clock wall for elapsed time; the
// output shows the wall/CPU ratio either way). Two figures per flow:
//   with ids  - an add makes its order in the loop (make_order: id, clock),
//               as a caller of the engine would;
//   book only - the records are made before the clock starts, so only
//               add() and cancel() are timed.
// Then the cost of an add-then-cancel pair on books of 1 k to 1 M resting
// orders, and the cost of making one order.
//
//   engine_bench [--runs N] [--clock cpu|wall] [--results FILE] [--flows-only] FLOW...
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "book/book.hpp"
#include "model/order.hpp"

namespace {

using quorvane::Book;
using quorvane::OrderId;
using quorvane::OrderRecord;
using quorvane::Side;

struct Op {
  bool is_add;
  Side side;
  std::int64_t ticks;
  double quantity;
  std::uint32_t target;  // cancel: index of the add it names
};

struct Flow {
  std::string name;
  std::vector<Op> warm;
  std::vector<Op> measured;
  std::size_t adds = 0;
};

Flow read_flow(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  Flow flow;
  auto slash = path.find_last_of('/');
  flow.name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  if (auto dot = flow.name.rfind(".flow"); dot != std::string::npos) flow.name.resize(dot);
  std::vector<Op>* current = &flow.warm;
  bool marked = false;
  std::string line;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    Op op{};
    if (kind == "A") {
      std::string side;
      fields >> side >> op.ticks >> op.quantity;
      if (!fields || (side != "B" && side != "S")) throw std::runtime_error(path + ":" + std::to_string(number) + ": bad add");
      op.is_add = true;
      op.side = side == "B" ? Side::Buy : Side::Sell;
      ++flow.adds;
    } else if (kind == "C") {
      fields >> op.target;
      if (!fields || op.target >= flow.adds) throw std::runtime_error(path + ":" + std::to_string(number) + ": bad cancel");
    } else if (kind == "M") {
      current = &flow.measured;
      marked = true;
      continue;
    } else {
      throw std::runtime_error(path + ":" + std::to_string(number) + ": unknown operation " + kind);
    }
    current->push_back(op);
  }
  if (!marked) std::swap(flow.warm, flow.measured);  // no marker: everything is measured
  return flow;
}

OrderRecord make(const Op& op) {
  OrderRecord r;
  if (quorvane::make_order(op.side, op.ticks, op.quantity, r) != quorvane::Rejection::None) {
    throw std::runtime_error("flow holds an order the engine refuses");
  }
  return r;
}

struct Counts {
  std::size_t fills = 0;
  std::size_t found = 0;
};

// How far a replay has come: the adds and cancels done since the warm-up began.
struct Cursor {
  std::size_t adds = 0;
  std::size_t cancels = 0;
};

constexpr std::uint32_t kNoCancel = std::numeric_limits<std::uint32_t>::max();

// For each add, the position among the flow's cancels of the one that names
// it, or kNoCancel. A flow cancels only resting orders, so each at most once.
std::vector<std::uint32_t> cancel_of_each_add(const Flow& flow) {
  std::vector<std::uint32_t> cancel_of(flow.adds, kNoCancel);
  std::uint32_t cancels = 0;
  for (const auto* part : {&flow.warm, &flow.measured}) {
    for (const Op& op : *part) {
      if (op.is_add) continue;
      if (cancel_of[op.target] != kNoCancel) throw std::runtime_error(flow.name + ": an order is cancelled twice");
      cancel_of[op.target] = cancels++;
    }
  }
  return cancel_of;
}

// Makes each order as it goes and puts its id where the cancel that names it
// will read it, in room made beforehand: cancels read their ids in order, as
// in replay_made, and the timed part touches no fresh memory of its own.
void replay_making(Book& book, const std::vector<Op>& ops, const std::vector<std::uint32_t>& cancel_of_add,
                   std::vector<OrderId>& cancelled, Cursor& at, Counts& counts) {
  for (const Op& op : ops) {
    if (op.is_add) {
      const OrderRecord r = make(op);
      if (const std::uint32_t c = cancel_of_add[at.adds++]; c != kNoCancel) cancelled[c] = r.id;
      counts.fills += book.add(r).size();
    } else {
      counts.found += book.cancel(cancelled[at.cancels++]);
    }
  }
}

// Adds records made beforehand, and cancels by ids laid out in the order of
// the cancels, as a driver that names orders by add index has them at hand:
// fetching each from a table of every id made is a cache miss that is the
// driver's, not the book's (12 ns an operation on the mixed flow).
void replay_made(Book& book, const std::vector<Op>& ops, const std::vector<OrderRecord>& records,
                 const std::vector<OrderId>& cancelled, Cursor& at, Counts& counts) {
  for (const Op& op : ops) {
    if (op.is_add) {
      counts.fills += book.add(records[at.adds++]).size();
    } else {
      counts.found += book.cancel(cancelled[at.cancels++]);
    }
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

using Clock = std::chrono::steady_clock;

bool use_cpu_clock = true;

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Both clocks around one timed part.
class Stopwatch {
 public:
  Stopwatch() : wall0_(Clock::now()), cpu0_(cpu_seconds()) {}
  void stop() {
    cpu_ = cpu_seconds() - cpu0_;
    wall_ = std::chrono::duration<double>(Clock::now() - wall0_).count();
  }
  double chosen() const { return use_cpu_clock ? cpu_ : wall_; }
  double wall() const { return wall_; }
  double cpu() const { return cpu_; }

 private:
  Clock::time_point wall0_;
  double cpu0_;
  double wall_ = 0, cpu_ = 0;
};

struct Result {
  double ns_per_op;
  double spread;       // (max - min) / median of the runs
  double wall_by_cpu;  // median elapsed over CPU time: above 1 when the process waited for a core
  Counts counts;
};

struct Samples {
  std::vector<double> chosen, ratio;
  void add(const Stopwatch& w) {
    chosen.push_back(w.chosen());
    ratio.push_back(w.wall() / w.cpu());
  }
};

Result summarise(const Samples& s, std::size_t ops, const Counts& counts) {
  const double mid = median(s.chosen);
  const auto [lo, hi] = std::minmax_element(s.chosen.begin(), s.chosen.end());
  return {mid / static_cast<double>(ops) * 1e9, (*hi - *lo) / mid, median(s.ratio), counts};
}

// The measured part, out of line so that a profiler can select it, e.g.
// valgrind --tool=callgrind --toggle-collect='*timed_replay*'.
template <class Replay>
[[gnu::noinline]] void timed_replay(Replay& replay, Book& book, const std::vector<Op>& ops, Cursor& at,
                                    Counts& counts) {
  replay(book, ops, at, counts);
}

// The host shares this machine's cores with work that CPU time cannot see,
// and for tenths of a second at a time that slows every cache miss here by a
// third or more. A random walk through a 1 MiB ring (past L1, within L2),
// taken after each run, shows when: at full speed its steps cost the same
// every time.
class CacheProbe {
 public:
  CacheProbe() : next_(kSlots) {
    std::vector<std::uint32_t> order(kSlots);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    for (std::uint32_t i = 0; i < kSlots; ++i) next_[order[i]] = order[(i + 1) % kSlots];  // one ring through all
  }

  // Brings the ring back into L2 in memory order, then times a walk.
  void walk() {
    std::uint32_t at = 0;
    for (std::size_t i = 0; i < kSlots; i += 16) at += next_[i];
    at %= kSlots;
    Stopwatch watch;
    for (int i = 0; i < kSteps; ++i) at = next_[at];
    watch.stop();
    sink_ = at;
    step_ns_.push_back(watch.cpu() / kSteps * 1e9);
  }

  void report() const {
    if (step_ns_.empty()) return;
    const double fastest = *std::min_element(step_ns_.begin(), step_ns_.end());
    const auto slowed = std::count_if(step_ns_.begin(), step_ns_.end(), [&](double ns) { return ns > fastest * 1.2; });
    std::printf("cache probe after each run (a random walk through 1 MiB): %.1f ns a step at the median, %.1f at the "
                "fastest; %td of %zu walks over 20%% slower (the host slowing this core)\n",
                median(step_ns_), fastest, slowed, step_ns_.size());
  }

 private:
  static constexpr std::uint32_t kSlots = (1u << 20) / sizeof(std::uint32_t);
  static constexpr int kSteps = 50'000;
  std::vector<std::uint32_t> next_;
  std::vector<double> step_ns_;
  volatile std::uint32_t sink_ = 0;
};

CacheProbe& cache_probe() {
  static CacheProbe probe;
  return probe;
}

// Times `replay` over the measured part after it replayed the warm-up on a
// fresh book; it takes (book, ops, cursor, counts).
template <class Replay>
Result time_runs(const Flow& flow, int runs, Replay&& replay) {
  Samples samples;
  Counts counts;
  for (int run = 0; run <= runs; ++run) {
    auto book = std::make_unique<Book>(0.01);
    Cursor at;
    Counts warm;
    replay(*book, flow.warm, at, warm);
    Counts measured;
    Stopwatch watch;
    timed_replay(replay, *book, flow.measured, at, measured);
    watch.stop();
    if (run) samples.add(watch);
    counts = measured;
    cache_probe().walk();
  }
  return summarise(samples, flow.measured.size(), counts);
}

Result time_with_ids(const Flow& flow, int runs) {
  const std::vector<std::uint32_t> cancel_of_add = cancel_of_each_add(flow);
  std::vector<OrderId> cancelled(flow.adds);  // each run overwrites the last one's
  return time_runs(flow, runs, [&](Book& book, const std::vector<Op>& ops, Cursor& at, Counts& counts) {
    replay_making(book, ops, cancel_of_add, cancelled, at, counts);
  });
}

Result time_book_only(const Flow& flow, int runs) {
  std::vector<OrderRecord> records;
  std::vector<OrderId> cancelled;
  records.reserve(flow.adds);
  for (const auto* part : {&flow.warm, &flow.measured}) {
    for (const Op& op : *part) {
      if (op.is_add) {
        records.push_back(make(op));
      } else {
        cancelled.push_back(records[op.target].id);  // a cancel names an earlier add
      }
    }
  }
  return time_runs(flow, runs, [&](Book& book, const std::vector<Op>& ops, Cursor& at, Counts& counts) {
    replay_made(book, ops, records, cancelled, at, counts);
  });
}

// How the cost of an add-then-cancel pair grows with the book: a book held at
// `size` resting bids over 500 levels (so levels grow long), then `pairs`
// times a new bid at a random level and a cancel of a random resting order,
// which keeps the size. Records are made before the clock starts. Median
// nanoseconds per pair.
double pair_ns(std::size_t size, std::size_t pairs, int runs) {
  constexpr std::int64_t kLevels = 500;
  std::uint64_t state = 0x9e3779b97f4a7c15ULL * (size + 1);
  auto next_random = [&] {  // splitmix64
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  };
  auto bid = [&] {
    OrderRecord r;
    quorvane::make_order(Side::Buy, 1 + static_cast<std::int64_t>(next_random() % kLevels), 1.0, r);
    return r;
  };
  std::vector<OrderRecord> initial(size), added(pairs);
  std::vector<std::size_t> victims(pairs);
  for (auto& r : initial) r = bid();
  for (std::size_t i = 0; i < pairs; ++i) {
    added[i] = bid();
    victims[i] = static_cast<std::size_t>(next_random() % size);
  }
  std::vector<double> seconds;
  for (int run = 0; run <= runs; ++run) {
    auto book = std::make_unique<Book>(0.01);
    std::vector<OrderId> resting(size);
    for (std::size_t i = 0; i < size; ++i) {
      book->add(initial[i]);
      resting[i] = initial[i].id;
    }
    Stopwatch watch;
    for (std::size_t i = 0; i < pairs; ++i) {
      book->add(added[i]);
      OrderId& victim = resting[victims[i]];
      if (!book->cancel(victim)) throw std::runtime_error("growth table: a resting order was not found");
      victim = added[i].id;
    }
    watch.stop();
    if (run) seconds.push_back(watch.chosen());
    if (book->resting_count(Side::Buy) != size) throw std::runtime_error("growth table: the book changed size");
  }
  return median(seconds) / static_cast<double>(pairs) * 1e9;
}

void report_growth(int runs) {
  std::printf("add-then-cancel pair, steady state (a random resting order cancelled), 500 levels:\n");
  std::printf("%-16s %10s %14s\n", "resting orders", "ns/pair", "orders/level");
  for (std::size_t size : {1'000, 10'000, 100'000, 1'000'000}) {
    std::printf("%-16zu %10.1f %14zu\n", size, pair_ns(size, 200'000, std::min(runs, 5)), size / 500);
    std::fflush(stdout);
  }
}

// What making one order costs, and its two parts: the random id (drawn from
// a pool that the system's random source refills 4 KiB at a time) and the
// clock. Median nanoseconds per call of `runs` timed rounds after a discarded one.
template <class F>
double ns_per_call(int runs, F&& call) {
  constexpr int kCalls = 200'000;
  std::vector<double> seconds;
  for (int run = 0; run <= runs; ++run) {
    Stopwatch watch;
    for (int i = 0; i < kCalls; ++i) call();
    watch.stop();
    if (run) seconds.push_back(watch.chosen());
  }
  return median(seconds) / kCalls * 1e9;
}

void report_order_costs(int runs) {
  volatile std::uint64_t sink = 0;  // keeps each call's result alive
  const double id = ns_per_call(runs, [&] { sink = sink + quorvane::new_order_id().low_word(); });
  const double clock = ns_per_call(runs, [&] { sink = sink + quorvane::wall_clock_ns(); });
  const double order = ns_per_call(runs, [&] {
    OrderRecord r;
    quorvane::make_order(Side::Buy, 100, 1.0, r);
    sink = sink + r.timestamp;
  });
  std::printf("making an order: %.1f ns (random id %.1f ns, clock %.1f ns)\n", order, id, clock);
}

// Reading the clock waits for every load in flight, a prefetch included (the
// vDSO fences before it reads the time-stamp counter): why matching
// prefetches the next resting record after a fill's clock read, not before.
void report_clock_after_miss(int runs) {
  std::vector<char> memory(std::size_t{256} << 20, 1);  // far past the last-level cache
  const std::size_t lines = memory.size() / 64;
  std::uint64_t state = 1;
  auto random_line = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return &memory[(state >> 24) % lines * 64];
  };
  volatile std::uint64_t sink = 0;
  const double prefetch = ns_per_call(runs, [&] { __builtin_prefetch(random_line()); });
  const double both = ns_per_call(runs, [&] {
    __builtin_prefetch(random_line());
    sink = sink + quorvane::wall_clock_ns();
  });
  std::printf("a clock read right after a prefetch that misses: %.1f ns (the prefetch alone %.1f ns)\n", both,
              prefetch);
}

// CPU used by other processes while we ran, so a busy machine is visible in the output.
struct CpuWatch {
  double wall0, busy0, mine0;

  static double busy_seconds() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    stat >> cpu;
    std::vector<unsigned long long> f;
    unsigned long long x;
    for (int i = 0; i < 8 && stat >> x; ++i) f.push_back(x);
    if (f.size() < 5) return 0;
    unsigned long long total = 0;
    for (auto v : f) total += v;
    return static_cast<double>(total - f[3] - f[4]) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  static double my_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }
  static double wall() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

  CpuWatch() : wall0(wall()), busy0(busy_seconds()), mine0(my_seconds()) {}

  void report() const {
    const double w = wall() - wall0;
    const double others = std::max(0.0, (busy_seconds() - busy0) - (my_seconds() - mine0));
    std::printf("during the engine benchmark other processes used %.2f of %ld cores on average over %.0f s (%s)\n",
                others / w, sysconf(_SC_NPROCESSORS_ONLN), w,
                others / w > 0.25 ? "the machine was busy" : "the machine was quiet");
  }
};

}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
  std::string results_path;
  bool flows_only = false;  // for profilers: no growth table, no order costs
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--clock" && i + 1 < argc && (std::string(argv[i + 1]) == "cpu" || std::string(argv[i + 1]) == "wall")) {
      use_cpu_clock = std::string(argv[++i]) == "cpu";
    } else if (arg == "--results" && i + 1 < argc) {
      results_path = argv[++i];
    } else if (arg == "--flows-only") {
      flows_only = true;
    } else if (arg == "-h" || arg == "--help") {
      std::printf("usage: %s [--runs N] [--clock cpu|wall] [--results FILE] [--flows-only] FLOW...\n", argv[0]);
      return 0;
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.empty()) {
    std::fprintf(stderr, "usage: %s [--runs N] [--clock cpu|wall] [--results FILE] [--flows-only] FLOW...\n", argv[0]);
    return 2;
  }

  CpuWatch watch;
  std::printf("== engine alone (C++, no interpreter): %s time, median of %d runs after a discarded one ==\n",
              use_cpu_clock ? "CPU" : "elapsed", runs);
  std::printf("%-9s %8s | %-24s | %-24s | %s\n", "flow", "ops", "with ids: ns/op  M ops/s", "book only: ns/op M ops/s",
              "fills, cancels found; spread; wall/CPU");
  std::string results = "# flow ns_per_op ops_per_s (\"flow:book\" = records made before timing)\n";
  try {
    for (const std::string& path : paths) {
      const Flow flow = read_flow(path);
      const Result with_ids = time_with_ids(flow, runs);
      const Result book_only = time_book_only(flow, runs);
      if (with_ids.counts.fills != book_only.counts.fills || with_ids.counts.found != book_only.counts.found) {
        throw std::runtime_error(flow.name + ": the two replays disagree");
      }
      std::printf("%-9s %8zu | %14.1f %9.2f | %14.1f %9.2f | %zu, %zu; %.0f%%, %.0f%%; %.2f\n", flow.name.c_str(),
                  flow.measured.size(), with_ids.ns_per_op, 1e3 / with_ids.ns_per_op, book_only.ns_per_op,
                  1e3 / book_only.ns_per_op, with_ids.counts.fills, with_ids.counts.found, with_ids.spread * 100,
                  book_only.spread * 100, with_ids.wall_by_cpu);
      char line[160];
      std::snprintf(line, sizeof line, "%s %.3f %.0f\n%s:book %.3f %.0f\n", flow.name.c_str(), with_ids.ns_per_op,
                    1e9 / with_ids.ns_per_op, flow.name.c_str(), book_only.ns_per_op, 1e9 / book_only.ns_per_op);
      results += line;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "engine_bench: %s\n", e.what());
    return 1;
  }
  if (!flows_only) {
    try {
      report_growth(runs);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "engine_bench: %s\n", e.what());
      return 1;
    }
    report_order_costs(runs);
    report_clock_after_miss(runs);
  }
  cache_probe().report();
  watch.report();
  if (!results_path.empty()) {
    std::ofstream out(results_path);
    out << results;
    if (!out) {
      std::fprintf(stderr, "engine_bench: cannot write %s\n", results_path.c_str());
      return 1;
    }
  }
  return 0;
}
