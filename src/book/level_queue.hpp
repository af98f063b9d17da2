// A price level's queue: a growable ring buffer of order records, so taking
// from and putting back at the front and appending at the back are constant
// time, and removing by id is one stable pass.
#pragma once
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "model/order.hpp"

namespace quorvane {

class LevelQueue {
  static_assert(std::is_trivially_copyable_v<OrderRecord>);

 public:
  LevelQueue() = default;
  LevelQueue(LevelQueue&& other) noexcept { swap(other); }
  LevelQueue& operator=(LevelQueue&& other) noexcept {
    LevelQueue(std::move(other)).swap(*this);
    return *this;
  }
  LevelQueue(const LevelQueue&) = delete;
  LevelQueue& operator=(const LevelQueue&) = delete;
  ~LevelQueue() { ::operator delete(slots_); }

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

  OrderRecord& front() { return slots_[head_]; }
  const OrderRecord& front() const { return slots_[head_]; }
  const OrderRecord& operator[](std::size_t i) const { return slots_[(head_ + i) & (capacity_ - 1)]; }

  void pop_front() {
    head_ = (head_ + 1) & (capacity_ - 1);
    --size_;
  }

  // Strong guarantee: on bad_alloc the queue is unchanged.
  void push_back(const OrderRecord& record) {
    if (size_ == capacity_) grow();
    slots_[(head_ + size_) & (capacity_ - 1)] = record;
    ++size_;
  }

  // Removes the records with this id, keeping the others in order. Unless
  // the queue may hold an id twice, it stops at the first and closes the gap
  // from the nearer end.
  void remove_id(const OrderId& id) {
    if (may_repeat_ids) {
      std::size_t kept = 0;
      for (std::size_t i = 0; i < size_; ++i) {
        if (at(i).id == id) continue;
        if (kept != i) at(kept) = at(i);
        ++kept;
      }
      size_ = kept;
      return;
    }
    std::size_t i = 0;
    while (i < size_ && !(at(i).id == id)) ++i;
    if (i == size_) return;
    if (i < size_ / 2) {
      for (std::size_t j = i; j > 0; --j) at(j) = at(j - 1);
      pop_front();
    } else {
      for (std::size_t j = i + 1; j < size_; ++j) at(j - 1) = at(j);
      --size_;
    }
  }

  // Keeps the buffer for reuse by another level.
  void clear() {
    head_ = 0;
    size_ = 0;
    may_repeat_ids = false;
  }

  // Set when a record is appended whose id the book already knew, so that
  // the queue may hold it twice.
  bool may_repeat_ids = false;

  template <class F>
  void for_each(F&& f) const {
    for (std::size_t i = 0; i < size_; ++i) f((*this)[i]);
  }

 private:
  OrderRecord& at(std::size_t i) { return slots_[(head_ + i) & (capacity_ - 1)]; }

  void grow() {
    std::size_t capacity = capacity_ ? capacity_ * 2 : 4;
    auto* slots = static_cast<OrderRecord*>(::operator new(capacity * sizeof(OrderRecord)));
    for (std::size_t i = 0; i < size_; ++i) std::memcpy(&slots[i], &at(i), sizeof(OrderRecord));
    ::operator delete(slots_);
    slots_ = slots;
    capacity_ = capacity;
    head_ = 0;
  }

  void swap(LevelQueue& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(head_, other.head_);
    std::swap(size_, other.size_);
    std::swap(may_repeat_ids, other.may_repeat_ids);
  }

  OrderRecord* slots_ = nullptr;
  std::size_t capacity_ = 0;  // zero or a power of two
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace quorvane
