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

// The shortest round-trip digits, then placed positionally. (to_chars in fixed
// format would print a large value's exact integer, 1e23 as 99999999999999991611392.)
void append_shortest(std::string& out, double value) {
  if (append_special(out, value)) return;
  char buf[kBuffer];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') out += *p++;
  std::string digits;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits += *p;
  }
  int exponent = 0;
  std::from_chars(p[1] == '+' ? p + 2 : p + 1, end, exponent);
  const int n = static_cast<int>(digits.size());
  if (exponent >= n - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent - (n - 1)), '0');
  } else if (exponent >= 0) {
    out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
    out += '.';
    out.append(digits, static_cast<std::size_t>(exponent + 1));
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
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
