// The book's order records by id. Records live in the slots of one array (a
// freed slot is reused first, while its memory is still warm), and an
// open-addressing table maps ids to slots. The table holds only slot numbers
// and their hashes, 12 bytes a bucket, so that it mostly stays in the
// processor's caches and rehashes without touching the records; a queued
// copy of a record carries its slot, so that matching reaches the record
// without a lookup.
//
// Every change either completes or, when memory runs out, throws bad_alloc
// and leaves the store as it was.
#pragma once
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "model/order.hpp"

#ifdef QUORVANE_HAVE_ROBIN_MAP
#include "tsl/robin_set.h"
#else
#include <unordered_set>
#endif

namespace quorvane {

std::uint64_t draw_index_hash_seed();

// Ids are random, but the seed keeps the layout of the table unpredictable.
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

class OrderStore {
 public:
  using Slot = OrderRecord::Slot;

  OrderStore() : index_(0, SlotHash{&records_}, SlotEqual{&records_}) {
    index_.max_load_factor(0.5f);  // short probes: most lookups miss the cache
  }
  // The table's functions point at records_: the store stays where it was made.
  OrderStore(const OrderStore&) = delete;
  OrderStore& operator=(const OrderStore&) = delete;

  std::size_t size() const { return index_.size(); }

  const OrderRecord* find(const OrderId& id) const {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : &records_[*it];
  }
  bool holds(Slot slot, const OrderId& id) const { return slot < records_.size() && records_[slot].id == id; }
  void prefetch([[maybe_unused]] Slot slot) const {
#if defined(__GNUC__)
    __builtin_prefetch(&records_[slot], 1);
#endif
  }
  OrderRecord& at(Slot slot) { return records_[slot]; }
  const OrderRecord& at(Slot slot) const { return records_[slot]; }

  // The slot of `record`'s id, and whether it was new. A new id gets a slot
  // holding `record`; a known id's record is left as it was.
  std::pair<Slot, bool> insert(const OrderRecord& record) {
    const Slot slot = take_slot(record);
    try {
      auto [it, inserted] = index_.insert(slot);
      if (inserted) return {slot, true};
      release(slot);
      return {*it, false};
    } catch (...) {
      release(slot);
      throw;
    }
  }

  // Writes `record` under its id, adding it when the id is new.
  void put(const OrderRecord& record) {
    auto [slot, inserted] = insert(record);
    if (!inserted) write(slot, record);
  }

  // Writes `record` into its slot, which holds the same id.
  void write(Slot slot, const OrderRecord& record) {
    OrderRecord& kept = records_[slot];
    kept = record;
    kept.slot = slot;
  }

  void erase(const OrderId& id) {
    auto it = index_.find(id);
    if (it == index_.end()) return;
    const Slot slot = *it;
    index_.erase(it);
    release(slot);
  }

  template <class F>
  void for_each(F&& visit) const {
    for (Slot slot : index_) visit(records_[slot]);
  }

 private:
  static constexpr Slot kNoSlot = std::numeric_limits<Slot>::max();

  struct SlotHash {
    const std::vector<OrderRecord>* records;
    using is_transparent = void;
    std::size_t operator()(Slot slot) const { return IdHash{}((*records)[slot].id); }
    std::size_t operator()(const OrderId& id) const { return IdHash{}(id); }
  };
  struct SlotEqual {
    const std::vector<OrderRecord>* records;
    using is_transparent = void;
    const OrderId& key(Slot slot) const { return (*records)[slot].id; }
    const OrderId& key(const OrderId& id) const { return id; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const { return key(a) == key(b); }
  };
#ifdef QUORVANE_HAVE_ROBIN_MAP
  using Index = tsl::robin_set<Slot, SlotHash, SlotEqual, std::allocator<Slot>, /*StoreHash=*/true>;
#else
  using Index = std::unordered_set<Slot, SlotHash, SlotEqual>;
#endif

  // A slot holding `record`: the most recently freed one, else a new one.
  Slot take_slot(const OrderRecord& record) {
    Slot slot = free_head_;
    if (slot != kNoSlot) {
      free_head_ = records_[slot].slot;
    } else {
      if (records_.size() >= kNoSlot) throw std::bad_alloc();
      slot = static_cast<Slot>(records_.size());
      records_.emplace_back();
    }
    write(slot, record);
    return slot;
  }

  // A free slot holds no id and links to the next free slot.
  void release(Slot slot) {
    records_[slot] = OrderRecord{};
    records_[slot].slot = free_head_;
    free_head_ = slot;
  }

  std::vector<OrderRecord> records_;
  Slot free_head_ = kNoSlot;
  Index index_;
};

}  // namespace quorvane
