#include "model/number_text.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace quorvane {
namespace {

// Largest fixed text: 309 integral digits, sign, point and decimals.
constexpr std::size_t kBuffer = 400;

bool append_special(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

void append_fixed(std::string& out, double value, int decimals) {
  if (append_special(out, value)) return;
  char buf[kBuffer];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  out.append(buf, end);
}

void append_shortest(std::string& out, double value) {
  if (append_special(out, value)) return;
  char buf[kBuffer];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  out.append(buf, end);
}

void append_integer(std::string& out, long long value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, end);
}

void append_integer(std::string& out, unsigned long long value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, end);
}

}  // namespace quorvane
