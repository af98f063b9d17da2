// An array in chunks that never move: growing it copies nothing and touches
// only the memory of the new chunk, and an element's address is stable.
#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvane {

template <class T>
class Chunks {
 public:
  using Index = std::uint32_t;
  static_assert(std::is_trivially_destructible_v<T> && std::is_trivially_copyable_v<T>);

  Chunks() = default;
  Chunks(const Chunks&) = delete;
  Chunks& operator=(const Chunks&) = delete;
  ~Chunks() {
    for (T* chunk : chunks_) ::operator delete(chunk, std::align_val_t{alignof(T)});
  }

  std::size_t size() const { return size_; }
  T& operator[](Index i) { return chunks_[i >> kChunkBits][i & kChunkMask]; }
  const T& operator[](Index i) const { return chunks_[i >> kChunkBits][i & kChunkMask]; }

  // Room for `n` more push()es, which then cannot fail.
  void reserve(std::size_t n) {
    if (n > capacity_ - size_) grow(n);
  }

  // A new element at the end, built in place from `fields` (a temporary
  // copied in would be reloaded wider than it was stored, which stalls).
  template <class... Fields>
  Index push(Fields&&... fields) {
    if (size_ == capacity_) grow(1);
    const Index i = static_cast<Index>(size_++);
    new (&(*this)[i]) T{std::forward<Fields>(fields)...};
    return i;
  }

  // Keeps the first `n` elements; their chunks stay for reuse.
  void shrink(std::size_t n) { size_ = n; }

 private:
  static constexpr unsigned kChunkBits = 12;  // 4096 elements a chunk
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  static constexpr std::size_t kChunkMask = kChunkSize - 1;
  // One below the largest index, which callers keep as "none".
  static constexpr std::size_t kMaxSize = std::numeric_limits<Index>::max();

  [[gnu::noinline]] void grow(std::size_t n) {
    if (n > kMaxSize - size_) throw std::bad_alloc();
    const std::size_t needed = (size_ + n + kChunkMask) >> kChunkBits;
    chunks_.reserve(needed);
    while (chunks_.size() < needed) {
      chunks_.push_back(static_cast<T*>(::operator new(kChunkSize * sizeof(T), std::align_val_t{alignof(T)})));
      capacity_ = std::min(chunks_.size() << kChunkBits, kMaxSize);
    }
  }

  std::vector<T*> chunks_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // elements the chunks hold, at most kMaxSize
};

}  // namespace quorvane
