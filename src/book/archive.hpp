// The records of orders that have left the queues for good: filled, or added
// when no longer open, and named by no queue entry. They stay findable by id
// until they are cancelled, but matching never reads them again, so they
// leave the live records (book/records.hpp): the live slots stay few and
// warm, and the live id table stays the size of the resting orders.
//
// A retired record is appended to a log, 48 bytes. The log's id index is
// built only when a lookup needs it, and is then extended by the records
// retired since: a book that is never asked for a retired id indexes none,
// and any book indexes each retired record at most once.
//
// A cancelled record is marked dead; when the dead are half the log, the log
// is compacted and the index dropped, to be rebuilt by the next lookup.
//
// Lookups are const, and readers may share a book across threads, so the
// index, a cache of the log, is extended under a mutex.
#pragma once
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include "book/chunks.hpp"
#include "book/id_index.hpp"
#include "model/order.hpp"

namespace quorvane {

struct Retired {
  OrderId id;
  std::int64_t price_in_ticks;
  double quantity;
  std::uint64_t timestamp;
  std::uint32_t hash;  // the id's, for the index
  Side side;
  Status status;
  bool dead;  // cancelled: waits for the log's compaction

  OrderRecord value() const { return {id, price_in_ticks, quantity, timestamp, side, status}; }
};
static_assert(sizeof(Retired) == 48);

class Archive {
 public:
  using Position = std::uint32_t;
  static constexpr Position kNone = std::numeric_limits<Position>::max();

 private:
  struct Ids {
    const Chunks<Retired>* log;
    const OrderId& operator()(Position at) const { return (*log)[at].id; }
  };
  using Index = IdIndex<Ids>;

 public:
  Archive() : index_(Ids{&log_}) {}
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  std::size_t size() const { return log_.size() - dead_; }  // the records held

  // Room for `n` more retire() calls, which then cannot fail.
  void reserve(std::size_t n) { log_.reserve(n); }

  // Takes in `record`, whose id no other store holds. Needs room reserved.
  void retire(const OrderRecord& record, std::uint32_t hash) {
    log_.push(record.id, record.price_in_ticks, record.quantity, record.timestamp, hash, record.side, record.status,
              false);
  }

  // The position of the key's id, or kNone. Throws bad_alloc when the index
  // cannot be extended; what it indexed so far stays, which no one can see.
  Position find(IdKey key) const {
    if (size() == 0) return kNone;
    std::lock_guard<std::mutex> lock(mutex_);
    catch_up();
    Position at = kNone;
    index_.find(key, [&](Position p) { at = p; });
    return at;
  }

  const Retired& operator[](Position at) const { return log_[at]; }

  // Removes the record at `at`, a position find() gave.
  void erase(Position at) {
    Retired& r = log_[at];
    index_.erase({&r.id, r.hash});
    r.dead = true;
    if (++dead_ * 2 > log_.size()) compact();
  }

  template <class F>
  void for_each(F&& visit) const {
    for (Position at = 0; at < log_.size(); ++at) {
      if (!log_[at].dead) visit(log_[at]);
    }
  }

  // The first thing wrong with the log or its index, described.
  std::optional<std::string> check() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t dead = 0, live_indexed = 0;
    for (Position at = 0; at < log_.size(); ++at) {
      const Retired& r = log_[at];
      if (r.dead) {
        ++dead;
      } else {
        if (r.hash != id_key(r.id).hash) return "retired " + r.id.text() + " keeps a wrong hash";
        if (at < indexed_) ++live_indexed;
      }
    }
    if (dead != dead_) return "the retired log miscounts its dead";
    if (indexed_ > log_.size() || index_.size() != live_indexed) return "the retired index misses or keeps records";
    std::optional<std::string> broken;
    index_.for_each([&](Position at, std::uint32_t hash) {
      if (!broken && (at >= indexed_ || log_[at].dead || log_[at].hash != hash)) {
        broken = "the retired index names a wrong position";
      }
    });
    return broken;
  }

 private:
  void catch_up() const {
    for (; indexed_ < log_.size(); ++indexed_) {
      const Retired& r = log_[indexed_];
      if (!r.dead) index_.insert(indexed_, r.hash);
    }
  }

  void compact() {
    index_.clear();
    indexed_ = 0;
    Position kept = 0;
    for (Position at = 0; at < log_.size(); ++at) {
      if (!log_[at].dead) log_[kept++] = log_[at];
    }
    log_.shrink(kept);
    dead_ = 0;
  }

  Chunks<Retired> log_;
  std::size_t dead_ = 0;
  mutable std::mutex mutex_;  // guards the index's extension by concurrent lookups
  mutable Index index_;
  mutable Position indexed_ = 0;  // the log before this position is indexed
};

}  // namespace quorvane
