// The hash of order ids, and a table from ids to positions (the archive's
// log entries). An entry is the position and the id's 32-bit hash, 8 bytes
// (Boost's open-addressing flat table: about 9 bytes an id), so the table
// stays small and rehashes without reading an id; a probe compares the stored
// hash before it reads the id at a position, which is likely a cache miss. The
// ids stay where the positions lead: `Ids` maps a position to its id.
//
// Changes either complete or throw bad_alloc and leave the table as it was.
#pragma once
#include <cstdint>
#include <utility>

#include "model/order_id.hpp"

#ifdef QUORVANE_HAVE_BOOST_UNORDERED
#include <boost/unordered/unordered_flat_set.hpp>
#else
#include <unordered_set>
#endif

namespace quorvane {

std::uint64_t draw_index_hash_seed();

// Ids are random, but the seed keeps the tables' layout unpredictable.
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

// An id and its hash, computed once for a probe and a following insert or erase.
struct IdKey {
  const OrderId* id;
  std::uint32_t hash;
};
inline IdKey id_key(const OrderId& id) { return {&id, static_cast<std::uint32_t>(IdHash{}(id))}; }

#ifdef QUORVANE_HAVE_BOOST_UNORDERED
// Room for one more entry in a Boost flat table. Erasing from a crowded group
// lowers the table's load limit, so a table kept near its limit while entries
// come and go would rehash again and again at the same size. Doubling when
// full leaves it half empty, where groups seldom crowd: in steady state it
// stays put.
template <class Table>
void make_room_for_one(Table& table) {
  if (table.size() + 1 > table.max_load()) table.reserve(2 * table.size() + 2);
}
#endif

template <class Ids>
class IdIndex {
 public:
  using Position = std::uint32_t;
  using Key = IdKey;

  explicit IdIndex(Ids ids) : table_(0, EntryHash{}, EntryEqual{ids}) {}

  std::size_t size() const { return table_.size(); }

  // The position of the key's id, if the table has it.
  template <class F>
  bool find(Key key, F&& found) const {
    const auto it = table_.find(key);
    if (it == table_.end()) return false;
    found(it->position());
    return true;
  }

  // Adds `position` for the id there, whose hash is `hash`; when the id is
  // already in the table, returns its position and false instead.
  std::pair<Position, bool> insert(Position position, std::uint32_t hash) {
#ifdef QUORVANE_HAVE_BOOST_UNORDERED
    make_room_for_one(table_);
#endif
    auto [it, inserted] = table_.insert(Entry(position, hash));
    return {it->position(), inserted};
  }

  // Hands the key's position to `leave`, then removes the entry: one probe.
  // False when the id is not in the table. `leave` must not change the table.
  template <class F>
  bool remove(Key key, F&& leave) {
    const auto it = table_.find(key);
    if (it == table_.end()) return false;
    leave(it->position());
    table_.erase(it);
    return true;
  }
  void erase(Key key) {
    remove(key, [](Position) {});
  }

  void clear() { table_.clear(); }

  template <class F>
  void for_each(F&& visit) const {
    for (const Entry& e : table_) visit(e.position(), e.hash());
  }

 private:
  // One 64-bit word, made and stored whole: two 32-bit fields were spilled
  // as two stores and read back as one load, which stalls.
  class Entry {
   public:
    Entry(Position position, std::uint32_t hash) : bits_(position | std::uint64_t{hash} << 32) {}
    Position position() const { return static_cast<Position>(bits_); }
    std::uint32_t hash() const { return static_cast<std::uint32_t>(bits_ >> 32); }

   private:
    std::uint64_t bits_;
  };
  static std::uint32_t hash_of(const Entry& e) { return e.hash(); }
  static std::uint32_t hash_of(const Key& k) { return k.hash; }
  // The table takes its position from the high bits and its tag from the low ones.
  static std::size_t widen(std::uint32_t h) { return (h | std::uint64_t{h} << 32) * 0x9e3779b97f4a7c15ULL; }
  struct EntryHash {
    using is_transparent = void;
    using is_avalanching = void;
    template <class K>
    std::size_t operator()(const K& k) const {
      return widen(hash_of(k));
    }
  };
  struct EntryEqual {
    Ids ids;
    using is_transparent = void;
    const OrderId& id(const Entry& e) const { return ids(e.position()); }
    const OrderId& id(const Key& k) const { return *k.id; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return hash_of(a) == hash_of(b) && id(a) == id(b);
    }
  };
#ifdef QUORVANE_HAVE_BOOST_UNORDERED
  using Table = boost::unordered_flat_set<Entry, EntryHash, EntryEqual>;
#else
  using Table = std::unordered_set<Entry, EntryHash, EntryEqual>;
#endif
  Table table_;
};

}  // namespace quorvane
