// An order id: a version-4 UUID. Every id the engine holds was made by
// new_order_id(), so it is kept as its 16 bytes and rendered as the 36
// lowercase hexadecimal characters and hyphens on the way out. A text that is
// not in exactly that form cannot name an order, which keeps the comparison
// of ids an exact comparison of their texts.
#pragma once
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

class OrderId {
 public:
  static constexpr std::size_t text_size = 36;

  OrderId() = default;
  static OrderId from_bytes(const unsigned char (&bytes)[16]) {
    OrderId id;
    std::memcpy(id.bytes_, bytes, 16);
    return id;
  }
  // The id whose bytes are those of `low` then `high` in memory order.
  static OrderId from_words(std::uint64_t low, std::uint64_t high) {
    OrderId id;
    std::memcpy(id.bytes_, &low, 8);
    std::memcpy(id.bytes_ + 8, &high, 8);
    return id;
  }
  // The id whose text is `text`, if `text` is a canonical id text.
  static std::optional<OrderId> parse(std::string_view text);

  // Writes the 36 characters (no terminator).
  void write_text(char* out) const;
  void append_text(std::string& out) const {
    out.append(text_size, '\0');
    write_text(out.data() + out.size() - text_size);
  }
  std::string text() const {
    std::string s;
    append_text(s);
    return s;
  }

  std::uint64_t low_word() const {
    std::uint64_t w;
    std::memcpy(&w, bytes_, 8);
    return w;
  }
  std::uint64_t high_word() const {
    std::uint64_t w;
    std::memcpy(&w, bytes_ + 8, 8);
    return w;
  }

  friend bool operator==(const OrderId& a, const OrderId& b) { return std::memcmp(a.bytes_, b.bytes_, 16) == 0; }

 private:
  unsigned char bytes_[16] = {};
};

}  // namespace quorvane
