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
#include <memory>
#include <type_traits>

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
  std::size_t size() const { return static_cast<std::size_t>(last_ - first_); }
  bool empty() const { return first_ == last_; }
  const LevelAt* begin() const { return first_; }
  const LevelAt* end() const { return last_; }
  const LevelAt& operator[](std::size_t i) const { return first_[i]; }
  const LevelAt& back() const { return last_[-1]; }

  // Room for one insert() at any position.
  void reserve_one() {
    if (first_ != slots_.get() && last_ != slots_.get() + capacity_) return;
    // Twice the entries, centred, so that either end can grow before the next copy.
    const std::size_t n = size(), capacity = std::max<std::size_t>(16, 2 * n + 2);
    std::unique_ptr<LevelAt[]> slots(new LevelAt[capacity]);
    LevelAt* first = slots.get() + (capacity - n) / 2;
    if (n != 0) std::memcpy(first, first_, n * sizeof(LevelAt));
    slots_ = std::move(slots);
    capacity_ = capacity;
    first_ = first;
    last_ = first + n;
  }

  // Puts `entry` before the entry at index `i` (at the end when i == size()).
  void insert(std::size_t i, const LevelAt& entry) noexcept {
    if (i < size() - i) {
      std::memmove(first_ - 1, first_, i * sizeof(LevelAt));
      --first_;
    } else {
      std::memmove(first_ + i + 1, first_ + i, (size() - i) * sizeof(LevelAt));
      ++last_;
    }
    first_[i] = entry;
  }

  void erase(std::size_t i) noexcept {
    if (i < size() - 1 - i) {
      std::memmove(first_ + 1, first_, i * sizeof(LevelAt));
      ++first_;
    } else {
      std::memmove(first_ + i, first_ + i + 1, (size() - 1 - i) * sizeof(LevelAt));
      --last_;
    }
  }

 private:
  static_assert(std::is_trivially_copyable_v<LevelAt>);
  std::unique_ptr<LevelAt[]> slots_;
  std::size_t capacity_ = 0;
  LevelAt* first_ = nullptr;  // the entries are [first_, last_)
  LevelAt* last_ = nullptr;
};

}  // namespace quorvane
