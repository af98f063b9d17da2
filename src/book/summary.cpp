// The book's two-line text summary.
#include "book/book.hpp"
#include "model/number_text.hpp"

namespace quorvane {
namespace {

void append_top(std::string& out, const std::optional<TopOfBook>& top, double tick_size) {
  if (!top) {
    out += "None";
    return;
  }
  append_fixed(out, top->quantity, 2);
  out += " @ ";
  append_shortest(out, static_cast<double>(top->price_in_ticks) * tick_size);
}

}  // namespace

std::string Book::summary() const {
  std::string out;
  out.reserve(128);
  out += "Best Bid: ";
  append_top(out, best_bid(), tick_size_);
  out += ", Best Ask: ";
  append_top(out, best_ask(), tick_size_);
  out += " (Spread: ";
  if (auto s = spread()) {
    append_fixed(out, *s, 4);
  } else {
    out += "None";
  }
  out += ")\nOpen Buy Volume: ";
  append_fixed(out, volume(Side::Buy), 2);
  out += ", Open Sell Volume: ";
  append_fixed(out, volume(Side::Sell), 2);
  return out;
}

}  // namespace quorvane
