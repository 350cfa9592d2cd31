#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <sstream>
#include <vector>

#include "scenario_table.h"
#include "zarn_compiler/reference.h"
#include "zarn_platform/format.h"

namespace zarn_selfcheck {

// The small encoder layer evaluated twice on the host: the same bits both times, every output
// finite, and a checksum that pins the numerics to within the last bits that exp and tanh of
// another math library may change.
void encoder_reference_is_finite_and_repeatable() {
  const zarn_compiler::EncoderConfig config{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};
  std::vector<float> input(config.sequence * config.hidden);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = (static_cast<float>(i) - 9.0f) / 16.0f;
  const auto weights = zarn_compiler::EncoderWeights::deterministic(config);

  const auto first = zarn_compiler::encoder_reference(config, input, weights);
  ASSERT_TRUE(first.has_value()) << zarn_compiler::to_string(first.error());
  const auto second = zarn_compiler::encoder_reference(config, input, weights);
  ASSERT_TRUE(second.has_value()) << zarn_compiler::to_string(second.error());
  ASSERT_EQ(first->size(), 32u);
  ASSERT_EQ(second->size(), 32u);

  float checksum = -0.0f;
  for (std::size_t i = 0; i < first->size(); ++i) {
    const float value = (*first)[i];
    EXPECT_TRUE(std::isfinite(value)) << zarn_platform::format("output {} is {}", i, value);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>((*second)[i]))
        << zarn_platform::format("output {} differs between evaluations", i);
    checksum = checksum + value;
  }

  std::ostringstream decimal;
  decimal << std::setprecision(std::numeric_limits<float>::max_digits10) << checksum;
  EXPECT_LT(std::fabs(checksum - 107.46423f), 1e-4f) << zarn_platform::format("checksum={}", decimal.str());
}

}  // namespace zarn_selfcheck
