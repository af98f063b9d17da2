// The two one-byte enumerations that an order record carries.
#pragma once
#include <cstdint>

namespace quorvane {

enum class Side : std::uint8_t { Buy = 0, Sell = 1 };
enum class Status : std::uint8_t { Open = 0, Filled = 1, Canceled = 2 };

constexpr const char* side_name(Side s) { return s == Side::Buy ? "Buy" : "Sell"; }

constexpr const char* status_name(Status s) {
  switch (s) {
    case Status::Open: return "Open";
    case Status::Filled: return "Filled";
    case Status::Canceled: return "Canceled";
  }
  return "?";
}

}  // namespace quorvane
