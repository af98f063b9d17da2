// One side's levels in price order: a sorted array with room at both ends.
// An entry goes in or out by moving the entries on its shorter side, so the
// two places where a book makes and removes levels, the touch (the array's
// end) and beyond the worst price (its start), cost nothing to speak of,
// however many levels the side holds; only a level made or removed in the
// middle moves up to half the array.
//
// reserve_one() makes room for one insert, which then cannot fail.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace quorvane {

using LevelIndex = std::uint32_t;

// A side's entry for a level: its price, kept beside the level's index so
// that a search reads only the array.
struct LevelAt {
  std::int64_t price;
  LevelIndex level;
};

class LevelArray {
 public:
  std::size_t size() const { return last_ - first_; }
  bool empty() const { return first_ == last_; }
  const LevelAt* begin() const { return slots_.data() + first_; }
  const LevelAt* end() const { return slots_.data() + last_; }
  const LevelAt& operator[](std::size_t i) const { return slots_[first_ + i]; }
  const LevelAt& back() const { return slots_[last_ - 1]; }

  // Room for one insert() at any position.
  void reserve_one() {
    if (first_ > 0 && last_ < slots_.size()) return;
    // Twice the entries, centred, so that either end can grow before the next copy.
    const std::size_t n = size(), capacity = std::max<std::size_t>(16, 2 * n + 2), first = (capacity - n) / 2;
    std::vector<LevelAt> slots(capacity);
    std::copy(begin(), end(), slots.begin() + static_cast<std::ptrdiff_t>(first));
    slots_.swap(slots);
    first_ = first;
    last_ = first + n;
  }

  // Puts `entry` before the entry at index `i` (at the end when i == size()).
  void insert(std::size_t i, const LevelAt& entry) noexcept {
    LevelAt* base = slots_.data();
    if (i < size() - i) {
      std::memmove(base + first_ - 1, base + first_, i * sizeof(LevelAt));
      --first_;
    } else {
      std::memmove(base + first_ + i + 1, base + first_ + i, (size() - i) * sizeof(LevelAt));
      ++last_;
    }
    base[first_ + i] = entry;
  }

  void erase(std::size_t i) noexcept {
    LevelAt* base = slots_.data();
    if (i < size() - 1 - i) {
      std::memmove(base + first_ + 1, base + first_, i * sizeof(LevelAt));
      ++first_;
    } else {
      std::memmove(base + first_ + i, base + first_ + i + 1, (size() - 1 - i) * sizeof(LevelAt));
      --last_;
    }
  }

 private:
  static_assert(std::is_trivially_copyable_v<LevelAt>);
  std::vector<LevelAt> slots_;
  std::size_t first_ = 0, last_ = 0;  // the entries are slots_[first_, last_)
};

}  // namespace quorvane
