// The book's order records. A record is one cache line and is also its
// order's entry in a price level's queue: while the order rests, the record
// carries the queued quantity and the links to its neighbours in the level,
// so matching and cancelling reach the queue without a search. Records live
// in slots (a freed slot is reused first, while still warm).
//
// The id table is chained through the records too: a bucket holds the slot
// of its first id, and each record the slot of the next id of its bucket. So
// finding an id reads one bucket (4 bytes) and then the records of its chain,
// the last of which a cancel or a fill reads anyway; a table of entries kept
// apart (Boost's flat table, 8 bytes an id) was two more lines to fetch per
// probe, and its growth copied megabytes on a growing book. The buckets are at
// least as many as the ids, so a chain is short. The chain field took the
// place of the level's index: a queued record finds its level from its side
// and price in the price index (book/price_index.hpp), with one load for a
// price near the touch. An order newer than every order taken in cannot be in
// the table (an id's timestamp never changes), so it is linked in without a
// search.
//
// The record stays whole: split into the 32 bytes a cancel reads (id, links,
// flags) and 32 bytes it does not (price, timestamp, quantities), a cancel's
// lines are denser, but a fill and a resting add touch two lines instead of
// one, which measured slower driven from Python.
//
// A record that leaves the queues for good (its order filled, no alias left)
// is retired to the archive (book/archive.hpp), which keeps it findable by id:
// its slot is freed and its id leaves the table, so that the slots and the
// table hold about the resting orders, however many orders have filled. An id
// can be retired only if its order is no newer than the newest the store has
// taken in, so a new order does not look in the archive.
//
// An order added again while it rests is queued twice. Its second entry is an
// alias: a slot that is not in the table and carries a copy of the id, side,
// price and timestamp. Those four never change for an id (only quantity and
// status do), so the copy cannot go stale.
//
// Every change either completes or throws bad_alloc and leaves the store as
// it was.
#pragma once
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "book/archive.hpp"
#include "book/chunks.hpp"
#include "book/id_index.hpp"
#include "model/order.hpp"

namespace quorvane {

using Slot = std::uint32_t;
inline constexpr Slot kNoSlot = std::numeric_limits<Slot>::max();

struct alignas(64) Record {
  enum Flag : std::uint8_t {
    kQueued = 1,           // this entry stands in a level
    kAlias = 2,            // a second entry of an id; not in the table
    kMayHaveAliases = 4,   // the id was queued again while queued; cancel looks for aliases
  };

  OrderId id;
  std::int64_t price_in_ticks = 0;
  std::uint64_t timestamp = 0;
  double quantity = 0.0;         // the record's, as a lookup reports it
  double queued_quantity = 0.0;  // the queue entry's, while queued
  Slot prev = kNoSlot;           // neighbours in the level, front to back
  Slot next = kNoSlot;           // (a free slot links the next free one here)
  Slot chain = kNoSlot;          // the next record of the id table's bucket (not an alias's)
  Side side = Side::Buy;
  Status status = Status::Open;
  std::uint8_t flags = 0;

  bool has(Flag f) const { return flags & f; }

  OrderRecord value() const { return {id, price_in_ticks, quantity, timestamp, side, status}; }
  // The queue entry as an order: queued orders are always Open.
  OrderRecord queued_value() const { return {id, price_in_ticks, queued_quantity, timestamp, side, Status::Open}; }
};
static_assert(sizeof(Record) == 64, "a record and its queue links fill one cache line");

class RecordStore {
 public:
  RecordStore() = default;
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  std::size_t slot_count() const { return records_.size(); }

  Record& operator[](Slot slot) { return records_[slot]; }
  const Record& operator[](Slot slot) const { return records_[slot]; }

  void prefetch([[maybe_unused]] Slot slot) const {
#if defined(__GNUC__)
    __builtin_prefetch(&records_[slot], 1);
#endif
  }

  // The slot of a live record, or kNoSlot.
  Slot find(const OrderId& id) const { return find(id, IdHash{}(id)); }

  // The record of `id`, live or retired.
  std::optional<OrderRecord> lookup(const OrderId& id) const {
    const std::uint64_t hash = IdHash{}(id);
    const Slot slot = find(id, hash);
    if (slot != kNoSlot) return records_[slot].value();
    const Archive::Position at = archive_.find(archive_key(id, hash));
    if (at == Archive::kNone) return std::nullopt;
    return archive_[at].value();
  }

  // The live slot of `order`'s id, and whether the id is new. A new id gets
  // a record holding `order`; a known id's record is left as it was (a
  // retired one comes back to a live slot).
  std::pair<Slot, bool> insert(const OrderRecord& order) {
    const std::uint64_t hash = IdHash{}(order.id);
    // An order newer than every order taken in cannot share its id with one:
    // an id's timestamp never changes. Only older ones look for their id.
    if (order.timestamp <= newest_) {
      const Slot known = find(order.id, hash);
      if (known != kNoSlot) return {known, false};
    }
    if (id_count_ + 1 > bucket_count_) grow_buckets();
    const Slot slot = take_slot();
    write_new(slot, order);
    link_id(slot, hash);
    if (order.timestamp > newest_) {
      newest_ = order.timestamp;
      return {slot, true};
    }
    return {slot, !restore_retired(slot, hash)};
  }

  // A slot outside the table holding the fields of the record in `of`.
  Slot add_alias(Slot of) {
    const Slot slot = take_slot();
    records_[slot] = records_[of];
    records_[slot].flags = Record::kAlias;
    records_[slot].chain = kNoSlot;
    return slot;
  }

  // Frees `id`'s record: a live one after handing its slot to `leave` (one
  // probe of the table), or a retired one. False when the id is unknown.
  // `leave` must not insert or erase ids (freeing aliases is fine).
  template <class F>
  bool remove(const OrderId& id, F&& leave) {
    const std::uint64_t hash = IdHash{}(id);
    if (Slot* link = link_to(id, hash)) {
      const Slot slot = *link;
      leave(slot);
      *link = records_[slot].chain;
      --id_count_;
      free_slot(slot);
      return true;
    }
    const Archive::Position at = archive_.find(archive_key(id, hash));
    if (at == Archive::kNone) return false;
    archive_.erase(at);
    return true;
  }

  // Frees an id's live record, or an alias.
  void erase(Slot slot) {
    if (!records_[slot].has(Record::kAlias)) unlink_id(slot, IdHash{}(records_[slot].id));
    free_slot(slot);
  }

  // Room for `n` records to retire, which then cannot fail.
  void reserve_retire(std::size_t n) { archive_.reserve(n); }

  // Moves a record to the archive once no level holds it and no alias names
  // it (no flag left); otherwise leaves it live.
  void retire_if_unqueued(Slot slot) {
    const Record& r = records_[slot];
    if (r.flags != 0) return;
    const std::uint64_t hash = IdHash{}(r.id);
    archive_.retire(r.value(), static_cast<std::uint32_t>(hash));
    unlink_id(slot, hash);
    free_slot(slot);
  }

  // Visits the slot of each id in the table.
  template <class F>
  void for_each_id(F&& visit) const {
    for (std::size_t b = 0; b < bucket_count_; ++b) {
      for (Slot s = heads_[b]; s != kNoSlot; s = records_[s].chain) visit(s);
    }
  }
  // The first thing wrong with the id table's chains, described: each id
  // chained once, in its hash's bucket, and counted.
  std::optional<std::string> check_id_table() const {
    std::size_t ids = 0;
    for (std::size_t b = 0; b < bucket_count_; ++b) {
      for (Slot s = heads_[b]; s != kNoSlot; s = records_[s].chain) {
        if (s >= records_.size() || ++ids > records_.size()) return "an id chain leaves the slots or loops";
        if (bucket(IdHash{}(records_[s].id)) != b) return "record " + records_[s].id.text() + " is in a wrong bucket";
      }
    }
    if (ids != id_count_) return "the id table miscounts its ids";
    for (std::size_t b = 0; b < bucket_count_; ++b) {  // the chains end: look for an id chained twice
      for (Slot s = heads_[b]; s != kNoSlot; s = records_[s].chain) {
        for (Slot t = records_[s].chain; t != kNoSlot; t = records_[t].chain) {
          if (records_[t].id == records_[s].id) return "record " + records_[s].id.text() + " is chained twice";
        }
      }
    }
    return std::nullopt;
  }
  // The first thing wrong with the retired records, described.
  std::optional<std::string> check_retired() const {
    if (auto broken = archive_.check()) return broken;
    std::optional<std::string> broken;
    archive_.for_each([&](const Retired& r) {
      if (broken) return;
      const char* wrong = find(r.id) != kNoSlot        ? " is live too"
                          : r.status != Status::Filled ? " is not Filled"
                          : r.timestamp > newest_      ? " is newer than every order taken in"
                                                       : nullptr;
      if (wrong) broken = "retired record " + r.id.text() + wrong;
    });
    return broken;
  }
  bool is_free(Slot slot) const { return records_[slot].id == OrderId{}; }
  std::size_t free_count() const { return free_count_; }

 private:
  // When the id in `slot` is retired, brings its record back into `slot`,
  // which the id table names. On bad_alloc, takes that slot back out of the
  // table and frees it. Only an order no newer than the newest taken in can
  // be retired: an id's timestamp never changes.
  [[gnu::noinline]] bool restore_retired(Slot slot, std::uint64_t hash) {
    Archive::Position at;
    try {
      at = archive_.find(archive_key(records_[slot].id, hash));
    } catch (...) {
      unlink_id(slot, hash);
      free_slot(slot);
      throw;
    }
    if (at == Archive::kNone) return false;
    write_new(slot, archive_[at].value());
    archive_.erase(at);
    return true;
  }

  // The id table (see the top of this file). A bucket is named by the
  // hash's high bits; the archive keeps its low 32 bits.
  static IdKey archive_key(const OrderId& id, std::uint64_t hash) { return {&id, static_cast<std::uint32_t>(hash)}; }
  std::size_t bucket(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> shift_); }

  // The link that holds `id`'s slot (its bucket, or the chain field of the
  // record before it in the chain), or nullptr when the table has no such id.
  const Slot* link_to(const OrderId& id, std::uint64_t hash) const {
    if (bucket_count_ == 0) return nullptr;
    for (const Slot* link = &heads_[bucket(hash)]; *link != kNoSlot; link = &records_[*link].chain) {
      if (records_[*link].id == id) return link;
    }
    return nullptr;
  }
  Slot* link_to(const OrderId& id, std::uint64_t hash) {
    return const_cast<Slot*>(std::as_const(*this).link_to(id, hash));
  }
  Slot find(const OrderId& id, std::uint64_t hash) const {
    const Slot* link = link_to(id, hash);
    return link ? *link : kNoSlot;
  }

  void link_id(Slot slot, std::uint64_t hash) {
    push_chain(slot, hash);
    ++id_count_;
  }
  // Puts `slot` at the head of its hash's bucket.
  void push_chain(Slot slot, std::uint64_t hash) {
    Slot& head = heads_[bucket(hash)];
    records_[slot].chain = head;
    head = slot;
  }

  // Takes the id in `slot`, which the table holds, out of its chain.
  void unlink_id(Slot slot, std::uint64_t hash) {
    Slot* link = &heads_[bucket(hash)];
    while (*link != slot) link = &records_[*link].chain;
    *link = records_[slot].chain;
    --id_count_;
  }

  // Doubles the buckets, which the ids are about to outnumber, and chains
  // every id again from a pass over the slots (a slot holds an id of the
  // table unless it is free or an alias).
  [[gnu::noinline]] void grow_buckets() {
    const std::size_t count = bucket_count_ == 0 ? kFirstBuckets : 2 * bucket_count_;
    if (count > (std::size_t{1} << 32)) throw std::bad_alloc();
    std::unique_ptr<Slot[]> heads(new Slot[count]);  // may throw: nothing has changed yet
    std::fill_n(heads.get(), count, kNoSlot);
    heads_ = std::move(heads);
    bucket_count_ = count;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(count));
    for (Slot s = 0; s < records_.size(); ++s) {
      if (!is_free(s) && !records_[s].has(Record::kAlias)) push_chain(s, IdHash{}(records_[s].id));
    }
  }
  static constexpr std::size_t kFirstBuckets = 1024;

  // The most recently freed slot, else a new one.
  Slot take_slot() {
    Slot slot = free_head_;
    if (slot != kNoSlot) {
      free_head_ = records_[slot].next;
      --free_count_;
      return slot;
    }
    return records_.push();
  }

  void write_new(Slot slot, const OrderRecord& order) {
    // Field by field: assigning a whole Record{} goes through a stack copy
    // whose unaligned reload stalls on store forwarding.
    Record& r = records_[slot];
    r.id = order.id;
    r.price_in_ticks = order.price_in_ticks;
    r.timestamp = order.timestamp;
    r.quantity = order.quantity;
    r.queued_quantity = 0.0;
    r.prev = r.next = kNoSlot;
    r.side = order.side;
    r.status = order.status;
    r.flags = 0;
  }

  // A free slot holds no id (no id made by the engine is all zeros) and no
  // flags; write_new sets the rest when the slot is taken again.
  void free_slot(Slot slot) {
    Record& r = records_[slot];
    r.id = OrderId{};
    r.flags = 0;
    r.next = free_head_;
    free_head_ = slot;
    ++free_count_;
  }

  Chunks<Record> records_;
  Slot free_head_ = kNoSlot;
  std::size_t free_count_ = 0;
  std::unique_ptr<Slot[]> heads_;  // a bucket's first slot, or kNoSlot
  std::size_t bucket_count_ = 0;  // a power of two, or 0
  unsigned shift_ = 64;
  std::size_t id_count_ = 0;
  Archive archive_;
  std::uint64_t newest_ = 0;  // the latest timestamp of an id taken in
};

}  // namespace quorvane
