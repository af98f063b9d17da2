// Failures of the engine. Rejections are expected outcomes of bad values and
// carry one fixed message; an InternalFailure is something sound input cannot
// reach (a broken invariant, a clock before 1970, no entropy).
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorvane {

enum class Rejection : std::uint8_t {
  None,
  PriceInTicksNotPositive,
  QuantityNotPositive,
  PriceOrQuantityNotPositive,
  ResultingTicksNotPositive,
};

constexpr const char* rejection_message(Rejection r) {
  switch (r) {
    case Rejection::None: return "";
    case Rejection::PriceInTicksNotPositive: return "price_in_ticks must be positive";
    case Rejection::QuantityNotPositive: return "quantity must be positive";
    case Rejection::PriceOrQuantityNotPositive: return "Price and quantity must be positive";
    case Rejection::ResultingTicksNotPositive: return "Resulting price_in_ticks must be positive";
  }
  return "";
}

class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quorvane
