#include "model/order.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "model/entropy.hpp"

namespace quorvane {

namespace {

constexpr bool hyphen_before(int byte_index) {
  return byte_index == 4 || byte_index == 6 || byte_index == 8 || byte_index == 10;
}

// Digit values of lowercase hexadecimal, -1 for every other byte: upper case
// names a different id, never one we made.
constexpr auto hex_values = [] {
  std::array<signed char, 256> table{};
  table.fill(-1);
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<signed char>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<signed char>(c - 'a' + 10);
  return table;
}();

int hex_value(char c) { return hex_values[static_cast<unsigned char>(c)]; }

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
  if (text.size() != text_size) return std::nullopt;
  OrderId id;
  const char* p = text.data();
  for (int i = 0; i < 16; ++i) {
    if (hyphen_before(i) && *p++ != '-') return std::nullopt;
    int hi = hex_value(*p++);
    int lo = hex_value(*p++);
    if (hi < 0 || lo < 0) return std::nullopt;
    id.bytes_[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return id;
}

void append_id_text(std::string& out, const IdText& id) {
  if (const auto* text = std::get_if<std::string>(&id)) {
    out += *text;
    return;
  }
  std::get<OrderId>(id).append_text(out);
}

OrderId new_order_id() {
  unsigned char bytes[16];
  random_bytes(bytes, sizeof bytes);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  OrderId id = OrderId::from_bytes(bytes);
  std::memset(bytes, 0, sizeof bytes);
  return id;
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
