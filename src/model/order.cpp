#include "model/order.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "model/entropy.hpp"

namespace quorvane {

namespace {

constexpr bool hyphen_before(int byte_index) {
  return byte_index == 4 || byte_index == 6 || byte_index == 8 || byte_index == 10;
}

constexpr std::uint64_t kEachByte = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// The high bit of each byte of `x` (all below 0x80) that lies in [lo, hi].
constexpr std::uint64_t bytes_within(std::uint64_t x, unsigned lo, unsigned hi) {
  return (x + kEachByte * (0x80 - lo)) & ~(x + kEachByte * (0x7f - hi)) & kHighBits;
}

// Eight lowercase hexadecimal characters, the first in the lowest byte, as
// the four bytes they spell, the first in the lowest byte; false for any
// other character. Eight at a time, without tables: parsing an id is most of
// what a cancel costs outside the book.
bool hex_word(std::uint64_t x, std::uint32_t& out) {
  const std::uint64_t letters = bytes_within(x, 'a', 'f');
  if ((x & kHighBits) != 0 || (bytes_within(x, '0', '9') | letters) != kHighBits) return false;
  const std::uint64_t nibbles = (x & (kEachByte * 0x0f)) + (letters >> 7) * 9;
  const std::uint64_t pairs = ((nibbles << 4) | (nibbles >> 8)) & 0x00ff00ff00ff00ffULL;
  const std::uint64_t quads = (pairs | (pairs >> 8)) & 0x0000ffff0000ffffULL;
  out = static_cast<std::uint32_t>(quads | (quads >> 16));
  return true;
}

// `n` characters from `p`, the first in the lowest byte.
template <int n>
std::uint64_t load_chars(const char* p) {
  if constexpr (std::endian::native == std::endian::little) {
    std::conditional_t<n == 8, std::uint64_t, std::uint32_t> w;
    std::memcpy(&w, p, n);
    return w;
  } else {
    std::uint64_t w = 0;
    for (int i = n - 1; i >= 0; --i) w = w << 8 | static_cast<unsigned char>(p[i]);
    return w;
  }
}

// Stores the four bytes of `four`, the lowest first.
void store_bytes(std::uint32_t four, unsigned char* out) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &four, 4);
  } else {
    for (int b = 0; b < 4; ++b) out[b] = static_cast<unsigned char>(four >> (8 * b));
  }
}

}  // namespace

void OrderId::write_text(char* p) const {
  static constexpr char hex[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    if (hyphen_before(i)) *p++ = '-';
    *p++ = hex[bytes_[i] >> 4];
    *p++ = hex[bytes_[i] & 0x0f];
  }
}

std::optional<OrderId> OrderId::parse(std::string_view text) {
  // 8-4-4-4-12 digits: four words of eight, the middle two from the groups of four.
  if (text.size() != text_size) return std::nullopt;
  const char* p = text.data();
  if (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return std::nullopt;
  const std::uint64_t words[4] = {load_chars<8>(p), load_chars<4>(p + 9) | load_chars<4>(p + 14) << 32,
                                  load_chars<4>(p + 19) | load_chars<4>(p + 24) << 32, load_chars<8>(p + 28)};
  unsigned char bytes[16];
  for (int i = 0; i < 4; ++i) {
    std::uint32_t four;
    if (!hex_word(words[i], four)) return std::nullopt;
    store_bytes(four, bytes + 4 * i);
  }
  return from_bytes(bytes);
}

void append_id_text(std::string& out, const IdText& id) {
  if (const auto* text = std::get_if<std::string>(&id)) {
    out += *text;
    return;
  }
  std::get<OrderId>(id).append_text(out);
}

OrderId new_order_id() {
  // The version (byte 6's high nibble, 4) and variant (byte 8's two high
  // bits, 10) are set on the id as a whole, in registers: bytes stored one by
  // one and reloaded as 16 would stall on store forwarding, and then wait for
  // every store still queued from the caller's last operation.
  using Bytes = std::array<unsigned char, 16>;
  using Words = std::array<std::uint64_t, 2>;
  constexpr Words keep = std::bit_cast<Words>(Bytes{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x0f, 0xff,  //
                                                     0x3f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
  constexpr Words set = std::bit_cast<Words>(Bytes{0, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 0});
  Words words;
  random_bytes(reinterpret_cast<unsigned char*>(words.data()), sizeof words);
  return OrderId::from_words((words[0] & keep[0]) | set[0], (words[1] & keep[1]) | set[1]);
}

std::uint64_t wall_clock_ns() {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
    throw InternalFailure(std::string("Time went backwards: ") + std::strerror(errno));
  }
  if (ts.tv_sec < 0) {
    throw InternalFailure("Time went backwards: the real-time clock reads before the Unix epoch");
  }
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

Rejection make_order(Side side, std::int64_t price_in_ticks, double quantity, OrderRecord& out) {
  if (price_in_ticks < 1) return Rejection::PriceInTicksNotPositive;
  if (quantity <= 0.0) return Rejection::QuantityNotPositive;
  const OrderId id = new_order_id();
  const std::uint64_t timestamp = wall_clock_ns();
  // Field by field into `out`, which is where the record lives: a whole
  // record copied in from the stack is reloaded wider than it was stored.
  out.id = id;
  out.timestamp = timestamp;
  out.side = side;
  out.price_in_ticks = price_in_ticks;
  out.quantity = quantity;
  out.status = Status::Open;
  return Rejection::None;
}

bool fill_step(OrderRecord& self, OrderRecord& incoming, double tick_size, Trade& out) {
  if (!can_match(self, incoming)) return false;
  const double m = matched_quantity(self.quantity, incoming.quantity);
  const OrderRecord& buy = self.side == Side::Buy ? self : incoming;
  const OrderRecord& sell = self.side == Side::Sell ? self : incoming;

  const std::uint64_t now = wall_clock_ns();  // may throw: before anything changes
  out.quantity = m;
  out.price = static_cast<double>(sell.price_in_ticks) * tick_size;
  out.timestamp = now;
  out.buy_id = buy.id;
  out.sell_id = sell.id;

  self.quantity -= m;
  incoming.quantity -= m;
  if (self.quantity <= 0.0) self.status = Status::Filled;
  if (incoming.quantity <= 0.0) incoming.status = Status::Filled;
  return true;
}

}  // namespace quorvane
