// The book's order records. A record is one cache line and is also its
// order's entry in a price level's queue: while the order rests, the record
// carries the queued quantity and the links to its neighbours in the level,
// so matching and cancelling reach the queue without a search. Records live
// in slots (a freed slot is reused first, while still warm), and a table
// finds a record's slot by id. The table holds only slot numbers and their
// ids' hashes, 8 bytes an entry, so it stays small (Boost's open-addressing
// flat table: about 9 bytes a record) and rehashes without touching the
// records.
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
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/order.hpp"

#ifdef QUORVANE_HAVE_BOOST_UNORDERED
#include <boost/unordered/unordered_flat_set.hpp>
#else
#include <unordered_set>
#endif

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

std::uint64_t draw_index_hash_seed();

// Ids are random, but the seed keeps the table's layout unpredictable.
inline std::uint64_t index_hash_seed() {
  static const std::uint64_t seed = draw_index_hash_seed();
  return seed;
}

struct IdHash {
  std::size_t operator()(const OrderId& id) const {
    std::uint64_t h = (id.low_word() ^ index_hash_seed()) * 0x9e3779b97f4a7c15ULL;
    h ^= id.high_word() + (h >> 29);
    return static_cast<std::size_t>(h * 0xbf58476d1ce4e5b9ULL ^ (h >> 32));
  }
};

// The slots: records in chunks that never move, so that growing the store
// copies nothing and touches only the memory of the new chunk.
class SlotArray {
 public:
  SlotArray() = default;
  SlotArray(const SlotArray&) = delete;
  SlotArray& operator=(const SlotArray&) = delete;
  ~SlotArray() {
    for (Record* chunk : chunks_) ::operator delete(chunk, std::align_val_t{alignof(Record)});
  }

  std::size_t size() const { return size_; }
  Record& operator[](Slot slot) { return chunks_[slot >> kChunkBits][slot & kChunkMask]; }
  const Record& operator[](Slot slot) const { return chunks_[slot >> kChunkBits][slot & kChunkMask]; }

  // A new slot at the end, holding an empty record.
  Slot push() {
    if (size_ == kNoSlot) throw std::bad_alloc();
    if ((size_ & kChunkMask) == 0 && (size_ >> kChunkBits) == chunks_.size()) {
      chunks_.reserve(chunks_.size() + 1);
      chunks_.push_back(static_cast<Record*>(
          ::operator new(kChunkSize * sizeof(Record), std::align_val_t{alignof(Record)})));
    }
    const Slot slot = static_cast<Slot>(size_);
    new (&(*this)[slot]) Record();
    ++size_;
    return slot;
  }

 private:
  static constexpr unsigned kChunkBits = 12;  // 4096 records, 256 KiB a chunk
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  static constexpr std::size_t kChunkMask = kChunkSize - 1;
  static_assert(std::is_trivially_destructible_v<Record>);

  std::vector<Record*> chunks_;
  std::size_t size_ = 0;
};

class RecordStore {
 public:
  RecordStore() : index_(0, EntryHash{}, EntryEqual{&records_}) {}
  // The table's equality points at records_: the store stays where it was made.
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  std::size_t size() const { return index_.size(); }
  std::size_t slot_count() const { return records_.size(); }

  Record& operator[](Slot slot) { return records_[slot]; }
  const Record& operator[](Slot slot) const { return records_[slot]; }

  void prefetch([[maybe_unused]] Slot slot) const {
#if defined(__GNUC__)
    __builtin_prefetch(&records_[slot], 1);
#endif
  }

  Slot find(const OrderId& id) const {
    auto it = index_.find(probe(id));
    return it == index_.end() ? kNoSlot : it->slot;
  }

  // The slot of `order`'s id, and whether it is new. A new id gets a record
  // holding `order`; a known id's record is left as it was.
  std::pair<Slot, bool> insert(const OrderRecord& order) {
    const Slot slot = take_slot();
    write_new(slot, order);
    try {
      auto [it, inserted] = index_.insert(Entry{slot, hash_of(order.id)});
      if (inserted) return {slot, true};
      free_slot(slot);
      return {it->slot, false};
    } catch (...) {
      free_slot(slot);
      throw;
    }
  }

  // A slot outside the table holding the fields of the record in `of`.
  Slot add_alias(Slot of) {
    const Slot slot = take_slot();
    records_[slot] = records_[of];
    records_[slot].flags = Record::kAlias;
    return slot;
  }

  // Hands the slot of `id`'s record to `leave`, then frees the record: one
  // probe of the table. False when the id is unknown. `leave` must not
  // insert or erase ids (freeing aliases is fine).
  template <class F>
  bool remove(const OrderId& id, F&& leave) {
    const auto it = index_.find(probe(id));
    if (it == index_.end()) return false;
    const Slot slot = it->slot;
    leave(slot);
    index_.erase(it);
    free_slot(slot);
    return true;
  }

  // Frees an id's record, or an alias.
  void erase(Slot slot) {
    if (!records_[slot].has(Record::kAlias)) index_.erase(index_.find(probe(records_[slot].id)));
    free_slot(slot);
  }

  template <class F>
  void for_each_id(F&& visit) const {
    for (const Entry& e : index_) visit(e.slot);
  }
  bool is_free(Slot slot) const { return records_[slot].id == OrderId{}; }
  std::size_t free_count() const { return free_count_; }

 private:
  // An id's slot, and the id's hash, so that a rehash reads no record.
  struct Entry {
    Slot slot;
    std::uint32_t hash;
  };
  static std::uint32_t hash_of(const OrderId& id) { return static_cast<std::uint32_t>(IdHash{}(id)); }
  // The table takes its position from the high bits and its tag from the low ones.
  static std::size_t widen(std::uint32_t h) { return (h | std::uint64_t{h} << 32) * 0x9e3779b97f4a7c15ULL; }
  // A lookup's key: the id and its hash, so that a probe compares the
  // entries' hashes before it reads a record, which is likely a cache miss.
  struct Probe {
    const OrderId* id;
    std::uint32_t hash;
  };
  static Probe probe(const OrderId& id) { return {&id, hash_of(id)}; }
  struct EntryHash {
    using is_transparent = void;
    using is_avalanching = void;
    template <class K>
    std::size_t operator()(const K& k) const {
      return widen(k.hash);
    }
  };
  struct EntryEqual {
    const SlotArray* records;
    using is_transparent = void;
    const OrderId& key(const Entry& e) const { return (*records)[e.slot].id; }
    const OrderId& key(const Probe& p) const { return *p.id; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return a.hash == b.hash && key(a) == key(b);
    }
  };
#ifdef QUORVANE_HAVE_BOOST_UNORDERED
  using Index = boost::unordered_flat_set<Entry, EntryHash, EntryEqual>;
#else
  using Index = std::unordered_set<Entry, EntryHash, EntryEqual>;
#endif

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
    Record& r = records_[slot];
    r = Record{};
    r.id = order.id;
    r.price_in_ticks = order.price_in_ticks;
    r.timestamp = order.timestamp;
    r.quantity = order.quantity;
    r.side = order.side;
    r.status = order.status;
  }

  // A free slot holds no id (no id made by the engine is all zeros).
  void free_slot(Slot slot) {
    records_[slot] = Record{};
    records_[slot].next = free_head_;
    free_head_ = slot;
    ++free_count_;
  }

  SlotArray records_;
  Slot free_head_ = kNoSlot;
  std::size_t free_count_ = 0;
  Index index_;
};

}  // namespace quorvane
