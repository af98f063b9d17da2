// The two ways doubles become text in reprs: fixed with N decimals (exact
// value, ties to even) and shortest round-trip, both always positional.
#pragma once
#include <string>

namespace quorvane {

void append_fixed(std::string& out, double value, int decimals);
void append_shortest(std::string& out, double value);
void append_integer(std::string& out, long long value);
void append_integer(std::string& out, unsigned long long value);

}  // namespace quorvane
