#pragma once
/// A small deterministic generator (32-bit xorshift) for generated test and benchmark inputs: the same
/// seed gives the same values on every platform, unlike the standard library's distributions.

#include <cstddef>
#include <cstdint>

namespace zarn_compiler_testing {

class SeededRandom {
 public:
  explicit SeededRandom(std::uint32_t seed) : state_(seed == 0 ? 0x9E3779B9u : seed) {}

  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }

  /// A value in [0, bound); `bound` must not be 0.
  std::uint32_t below(std::uint32_t bound) { return next() % bound; }

  /// A value in [0, bound) for a list size; `bound` must not be 0 and must fit 32 bits.
  std::size_t index_below(std::size_t bound) { return below(static_cast<std::uint32_t>(bound)); }

 private:
  std::uint32_t state_;
};

}  // namespace zarn_compiler_testing
