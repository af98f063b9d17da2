// The book's order records. A record is one cache line and is also its
// order's entry in a price level's queue: while the order rests, the record
// carries the queued quantity and the links to its neighbours in the level,
// so matching and cancelling reach the queue without a search. Records live
// in slots (a freed slot is reused first, while still warm), and an id table
// (book/id_index.hpp) finds a record's slot by id.
//
// The record stays whole: split into the 32 bytes a cancel reads (id, links,
// level, flags) and 32 bytes it does not (price, timestamp, quantities), a
// cancel's lines are denser, but a fill and a resting add touch two lines
// instead of one, which measured slower driven from Python.
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
#include <cstdint>
#include <limits>
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
  std::uint32_t level = 0;       // the level this entry stands in, while queued
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
  RecordStore() : index_(Ids{&records_}) {}
  // The table reads ids through a pointer to records_: the store stays where it was made.
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
  Slot find(const OrderId& id) const {
    Slot slot = kNoSlot;
    index_.find(id_key(id), [&](Slot s) { slot = s; });
    return slot;
  }

  // The record of `id`, live or retired.
  std::optional<OrderRecord> lookup(const OrderId& id) const {
    const IdKey key = id_key(id);
    Slot slot = kNoSlot;
    if (index_.find(key, [&](Slot s) { slot = s; })) return records_[slot].value();
    const Archive::Position at = archive_.find(key);
    if (at == Archive::kNone) return std::nullopt;
    return archive_[at].value();
  }

  // The live slot of `order`'s id, and whether the id is new. A new id gets
  // a record holding `order`; a known id's record is left as it was (a
  // retired one comes back to a live slot).
  std::pair<Slot, bool> insert(const OrderRecord& order) {
    const IdKey key = id_key(order.id);
    const Slot slot = take_slot();
    write_new(slot, order);
    std::pair<Slot, bool> placed;
    try {
      placed = index_.insert(slot, key.hash);
    } catch (...) {
      free_slot(slot);
      throw;
    }
    if (!placed.second) {
      free_slot(slot);
      return placed;
    }
    if (order.timestamp > newest_) {
      newest_ = order.timestamp;
      return {slot, true};
    }
    return {slot, !restore_retired(slot, key)};
  }

  // A slot outside the table holding the fields of the record in `of`.
  Slot add_alias(Slot of) {
    const Slot slot = take_slot();
    records_[slot] = records_[of];
    records_[slot].flags = Record::kAlias;
    return slot;
  }

  // Frees `id`'s record: a live one after handing its slot to `leave` (one
  // probe of the table), or a retired one. False when the id is unknown.
  // `leave` must not insert or erase ids (freeing aliases is fine).
  template <class F>
  bool remove(const OrderId& id, F&& leave) {
    const IdKey key = id_key(id);
    Slot freed = kNoSlot;
    if (index_.remove(key, [&](Slot slot) {
          leave(slot);
          freed = slot;
        })) {
      free_slot(freed);
      return true;
    }
    const Archive::Position at = archive_.find(key);
    if (at == Archive::kNone) return false;
    archive_.erase(at);
    return true;
  }

  // Frees an id's live record, or an alias.
  void erase(Slot slot) {
    if (!records_[slot].has(Record::kAlias)) index_.erase(id_key(records_[slot].id));
    free_slot(slot);
  }

  // Room for `n` records to retire, which then cannot fail.
  void reserve_retire(std::size_t n) { archive_.reserve(n); }

  // Moves a record to the archive once no level holds it and no alias names
  // it (no flag left); otherwise leaves it live.
  void retire_if_unqueued(Slot slot) {
    const Record& r = records_[slot];
    if (r.flags != 0) return;
    const IdKey key = id_key(r.id);
    archive_.retire(r.value(), key.hash);
    index_.erase(key);
    free_slot(slot);
  }

  template <class F>
  void for_each_id(F&& visit) const {
    index_.for_each([&](Slot slot, std::uint32_t) { visit(slot); });
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
  struct Ids {
    const Chunks<Record>* records;
    const OrderId& operator()(Slot slot) const { return (*records)[slot].id; }
  };

  // When the key's id is retired, brings its record back into `slot`, which
  // the id's new table entry names. On bad_alloc, takes that entry and slot
  // back out. Only an order no newer than the newest taken in can be retired:
  // an id's timestamp never changes.
  [[gnu::noinline]] bool restore_retired(Slot slot, IdKey key) {
    Archive::Position at;
    try {
      at = archive_.find(key);
    } catch (...) {
      index_.erase(key);
      free_slot(slot);
      throw;
    }
    if (at == Archive::kNone) return false;
    write_new(slot, archive_[at].value());
    archive_.erase(at);
    return true;
  }

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
    r.level = 0;
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
  IdIndex<Ids> index_;
  Archive archive_;
  std::uint64_t newest_ = 0;  // the latest timestamp of an id taken in
};

}  // namespace quorvane
