#include "zarn_compiler/reference.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace zarn_compiler {
namespace {

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// The small layer of the self-check: sequence 4, hidden 8, heads 2, feed_forward 16.
constexpr EncoderConfig kSmall{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};

std::vector<float> small_input(std::size_t elements = 32) {
  std::vector<float> input(elements);
  for (std::size_t i = 0; i < elements; ++i) input[i] = (static_cast<float>(i) - 9.0f) / 16.0f;
  return input;
}

// Rows that are not shifted copies of each other (the rows of small_input are, which makes every
// attention weight equal).
std::vector<float> varied_input(std::size_t elements) {
  std::vector<float> input(elements);
  for (std::size_t i = 0; i < elements; ++i) input[i] = static_cast<float>(i * 7 % 11) / 4.0f - 1.0f;
  return input;
}

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

std::string graph_message(const CompileError& error) {
  const auto* graph = std::get_if<CompileError::Graph>(&error.value);
  return graph != nullptr ? graph->message : "not a Graph error: " + to_string(error);
}

TEST(EncoderWeights, DeterministicValuesAndShapes) {
  const auto small = EncoderWeights::deterministic(kSmall);
  EXPECT_EQ(small.wq.size(), 64u);
  EXPECT_EQ(small.wo.size(), 64u);
  EXPECT_EQ(small.w1.size(), 128u);
  EXPECT_EQ(small.w2.size(), 128u);
  // Denominator sqrt(50 * 8) = 20; bit-exact float equality throughout.
  EXPECT_EQ(std::vector(small.wq.begin(), small.wq.begin() + 4), (std::vector{-0.95f, -0.1f, 0.75f, 1.6f}));
  // Index 6 wraps the residue: (6 * 17 + 31) mod 101 = 32.
  EXPECT_EQ(small.wq[6], -0.9f);
  // w2 has 16 rows: denominator sqrt(800).
  EXPECT_EQ(small.w2[0], 1.2374369f);
  EXPECT_EQ(small.w2[1], -1.7324116f);
  // Each matrix has its own salt.
  EXPECT_NE(small.wq, small.wk);
  EXPECT_NE(small.wk, small.wv);
  EXPECT_NE(small.wv, small.wo);

  const auto standard = EncoderWeights::deterministic(EncoderConfig{});
  EXPECT_EQ(standard.wq.size(), 64u * 64u);
  EXPECT_EQ(standard.w1.size(), 64u * 256u);
  EXPECT_EQ(standard.w2.size(), 256u * 64u);
  EXPECT_EQ(std::vector(standard.wq.begin(), standard.wq.begin() + 3),
            (std::vector{-0.33587572f, -0.035355341f, 0.26516503f}));
  EXPECT_EQ(std::vector(standard.w1.begin(), standard.w1.begin() + 3),
            (std::vector{0.070710681f, 0.37123105f, 0.67175144f}));
  EXPECT_EQ(std::vector(standard.w2.begin(), standard.w2.begin() + 3),
            (std::vector{0.30935922f, -0.4331029f, -0.28284273f}));

  EXPECT_EQ(EncoderWeights::deterministic(kSmall), small);
}

TEST(EncoderWeightsDeathTest, SizesThatDoNotFitStopInsteadOfWrapping) {
  // hidden x hidden = 2^64 would wrap to 0 elements.
  const EncoderConfig huge{.sequence = 1, .hidden = std::size_t{1} << 32, .heads = 1, .feed_forward = 1};
  EXPECT_DEATH((void)EncoderWeights::deterministic(huge), "encoder weight matrix too large");
}

TEST(EncoderReference, SmallLayerChecksumAndFirstOutputs) {
  const auto weights = EncoderWeights::deterministic(kSmall);
  const auto input = small_input();
  const auto first = encoder_reference(kSmall, input, weights);
  ASSERT_TRUE(first.has_value()) << to_string(first.error());
  const auto second = encoder_reference(kSmall, input, weights);
  ASSERT_TRUE(second.has_value());
  ASSERT_EQ(first->size(), 32u);

  float checksum = -0.0f;
  for (std::size_t i = 0; i < first->size(); ++i) {
    EXPECT_TRUE(std::isfinite((*first)[i])) << i;
    EXPECT_EQ(bits((*first)[i]), bits((*second)[i])) << i;
    checksum = checksum + (*first)[i];
  }
  EXPECT_LT(std::fabs(checksum - 107.46423f), 1e-4f) << checksum;
  EXPECT_NEAR((*first)[0], 17.354069f, 1e-4f);
  EXPECT_NEAR((*first)[1], 8.073391f, 1e-4f);
  EXPECT_NEAR((*first)[2], 5.544778f, 1e-4f);
  EXPECT_NEAR((*first)[3], -26.392069f, 1e-4f);
}

// The layer exactly as written step by step, with the full S x S score and S x F hidden matrices.
// The reference builds them a row at a time; every element must still come out bit for bit equal.
std::vector<float> layer_in_documented_order(EncoderConfig config, const std::vector<float>& input,
                                             const EncoderWeights& weights) {
  const std::size_t s = config.sequence;
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;
  const auto norm1 = layer_norm(input, s, h, 1e-5f);
  const auto q = matmul(norm1, weights.wq, s, h, h);
  const auto k = matmul(norm1, weights.wk, s, h, h);
  const auto v = matmul(norm1, weights.wv, s, h, h);
  const std::size_t head_size = h / config.heads;
  std::vector<float> context(s * h, 0.0f);
  for (std::size_t head = 0; head < config.heads; ++head) {
    std::vector<float> scores(s * s, 0.0f);
    for (std::size_t row = 0; row < s; ++row) {
      for (std::size_t column = 0; column < s; ++column) {
        float sum = 0.0f;
        for (std::size_t inner = 0; inner < head_size; ++inner) {
          const std::size_t index = head * head_size + inner;
          sum = (q[row * h + index] * k[column * h + index]) + sum;
        }
        scores[row * s + column] = sum / std::sqrt(static_cast<float>(head_size));
      }
    }
    softmax_rows(scores, s, s);
    for (std::size_t row = 0; row < s; ++row) {
      for (std::size_t inner = 0; inner < head_size; ++inner) {
        float sum = 0.0f;
        for (std::size_t column = 0; column < s; ++column) {
          sum = (scores[row * s + column] * v[column * h + head * head_size + inner]) + sum;
        }
        context[row * h + head * head_size + inner] = sum;
      }
    }
  }
  const auto projected = matmul(context, weights.wo, s, h, h);
  std::vector<float> residual1(s * h);
  for (std::size_t i = 0; i < residual1.size(); ++i) residual1[i] = input[i] + projected[i];
  const auto norm2 = layer_norm(residual1, s, h, 1e-5f);
  auto hidden = matmul(norm2, weights.w1, s, h, f);
  for (float& value : hidden) value = gelu(value);
  const auto down = matmul(hidden, weights.w2, s, f, h);
  std::vector<float> result(s * h);
  for (std::size_t i = 0; i < result.size(); ++i) result[i] = residual1[i] + down[i];
  return result;
}

TEST(EncoderReference, DefaultLayerMatchesTheStepByStepOrderBitForBit) {
  const EncoderConfig config;
  const auto input = varied_input(config.sequence * config.hidden);
  const auto weights = EncoderWeights::deterministic(config);
  const auto result = encoder_reference(config, input, weights);
  ASSERT_TRUE(result.has_value()) << to_string(result.error());
  const auto expected = layer_in_documented_order(config, input, weights);
  ASSERT_EQ(result->size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(bits((*result)[i]), bits(expected[i])) << "element " << i;
  }
}

TEST(EncoderReference, RejectsDimensionsBeforeSizes) {
  struct Case {
    const char* name;
    EncoderConfig config;
    std::size_t input_elements;
    const char* message;
  };
  const Case cases[] = {
      {"heads 0", {4, 8, 0, 16}, 32, "invalid encoder dimensions"},
      // Dimensions are judged before the input length.
      {"heads 0 with a short input", {4, 8, 0, 16}, 31, "invalid encoder dimensions"},
      // Sizes whose byte count does not fit in 64 bits fail without allocating anything.
      {"sequence x hidden overflows", {kSizeMax / 2, 8, 2, 16}, 32, "invalid encoder dimensions"},
      {"sequence x hidden bytes overflow", {std::size_t{1} << 62, 1, 1, 16}, 32, "invalid encoder dimensions"},
      {"hidden x hidden overflows", {1, std::size_t{1} << 32, 1, 16}, 32, "invalid encoder dimensions"},
      {"hidden x feed_forward overflows", {4, 8, 2, kSizeMax / 4}, 32, "invalid encoder dimensions"},
      // Representable but enormous: only the input length can be wrong, nothing is allocated.
      {"enormous sequence", {std::size_t{1} << 40, 8, 2, 16}, 32, "encoder input size mismatch"},
      {"31 elements", kSmall, 31, "encoder input size mismatch"},
      {"33 elements", kSmall, 33, "encoder input size mismatch"},
  };
  const auto weights = EncoderWeights::deterministic(kSmall);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = encoder_reference(c.config, small_input(c.input_elements), weights);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(graph_message(result.error()), c.message);
  }
}

TEST(EncoderReference, RejectsWeightsOfAnotherShape) {
  const auto input = small_input();
  auto short_wo = EncoderWeights::deterministic(kSmall);
  short_wo.wo.pop_back();
  auto long_w2 = EncoderWeights::deterministic(kSmall);
  long_w2.w2.push_back(0.0f);
  struct Case {
    const char* name;
    EncoderWeights weights;
  };
  const Case cases[] = {
      {"empty weights", EncoderWeights{}},
      {"weights of a wider feed-forward", EncoderWeights::deterministic({4, 8, 2, 32})},
      {"wo one short", short_wo},
      {"w2 one long", long_w2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = encoder_reference(kSmall, input, c.weights);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(graph_message(result.error()), "encoder weight size mismatch");
  }
}

TEST(EncoderReference, AcceptsEveryHeadCountThatDividesHidden) {
  const auto input = varied_input(32);
  const auto weights = EncoderWeights::deterministic(kSmall);
  for (const std::size_t heads : {1u, 2u, 4u, 8u}) {
    SCOPED_TRACE(heads);
    const EncoderConfig config{.sequence = 4, .hidden = 8, .heads = heads, .feed_forward = 16};
    const auto result = encoder_reference(config, input, weights);
    ASSERT_TRUE(result.has_value()) << to_string(result.error());
    EXPECT_EQ(*result, layer_in_documented_order(config, input, weights));
  }
}

TEST(EncoderReference, ZeroWidthFeedForwardLeavesTheAttentionResidual) {
  const EncoderConfig config{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 0};
  const auto weights = EncoderWeights::deterministic(config);
  EXPECT_TRUE(weights.w1.empty());
  const auto input = small_input();
  const auto result = encoder_reference(config, input, weights);
  ASSERT_TRUE(result.has_value()) << to_string(result.error());
  // With no feed-forward columns the down projection is all +0.0, so the result is the residual.
  const auto expected = layer_in_documented_order(config, input, weights);
  EXPECT_EQ(*result, expected);
}

TEST(Matmul, SumsEachProductInIncreasingInnerOrderFromPositiveZero) {
  EXPECT_EQ(matmul(std::vector{1.0f, 2.0f, 3.0f, 4.0f}, std::vector{5.0f, 6.0f, 7.0f, 8.0f}, 2, 2, 2),
            (std::vector{19.0f, 22.0f, 43.0f, 50.0f}));
  // 1 + 1e8 rounds back to 1e8, so k = 0, 1, 2 gives 0; the reverse order would give 1.
  EXPECT_EQ(matmul(std::vector{1.0f, 1e8f, -1e8f}, std::vector{1.0f, 1.0f, 1.0f}, 1, 3, 1), std::vector{0.0f});
  // The accumulator starts at +0.0: a lone -0.0 product sums to +0.0, an empty inner gives +0.0.
  const auto negative_zero = matmul(std::vector{-0.0f}, std::vector{1.0f}, 1, 1, 1);
  EXPECT_EQ(bits(negative_zero.at(0)), 0u);
  const auto empty_inner = matmul(std::vector<float>{}, std::vector<float>{}, 2, 0, 1);
  EXPECT_EQ(empty_inner, (std::vector{0.0f, 0.0f}));
  EXPECT_FALSE(std::signbit(empty_inner[0]));
}

TEST(MatmulDeathTest, OperandsOfTheWrongLengthStop) {
  EXPECT_DEATH((void)matmul(std::vector{1.0f, 2.0f}, std::vector{1.0f}, 1, 1, 1), "matmul left operand size mismatch");
  EXPECT_DEATH((void)matmul(std::vector{1.0f}, std::vector{1.0f}, 1, 1, 2), "matmul right operand size mismatch");
}

TEST(LayerNorm, RowsAreNormalisedOnTheirOwn) {
  const auto output = layer_norm(std::vector{1.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 2.0f, 3.0f, 4.0f},
                                 3, 4, 1e-5f);
  ASSERT_EQ(output.size(), 12u);
  for (std::size_t c = 0; c < 8; ++c) EXPECT_EQ(output[c], 0.0f) << c;
  // mean 2.5, variance 1.25.
  const float scale = 1.0f / std::sqrt(1.25f + 1e-5f);
  EXPECT_EQ(output[8], -1.5f * scale);
  EXPECT_EQ(output[9], -0.5f * scale);
  EXPECT_EQ(output[10], 0.5f * scale);
  EXPECT_EQ(output[11], 1.5f * scale);
}

TEST(LayerNorm, SumsStartAtNegativeZero) {
  // The mean of a row of -0.0 is -0.0, and -0.0 - -0.0 is +0.0; a +0.0 start would give -0.0 here.
  const auto output = layer_norm(std::vector{-0.0f, -0.0f}, 1, 2, 1e-5f);
  EXPECT_EQ(bits(output.at(0)), 0u);
  EXPECT_EQ(bits(output.at(1)), 0u);
}

TEST(SoftmaxRows, EdgeRows) {
  const float third = 1.0f / 3.0f;
  struct Case {
    const char* name;
    std::vector<float> values;
    std::size_t rows;
    std::size_t columns;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {"equal values, row by row", {7.0f, 7.0f, 7.0f, -2.0f, -2.0f, -2.0f}, 2, 3, {third, third, third, third, third, third}},
      {"large values do not overflow", {1000.0f, 1000.0f}, 1, 2, {0.5f, 0.5f}},
      {"minus infinity gets nothing", {0.0f, -kInfinity}, 1, 2, {1.0f, 0.0f}},
      {"a lone element gets everything", {-1e30f}, 1, 1, {1.0f}},
      {"rows without columns", {}, 4, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto values = c.values;
    softmax_rows(values, c.rows, c.columns);
    EXPECT_EQ(values, c.expected);
  }
}

TEST(Gelu, KnownPoints) {
  EXPECT_EQ(bits(gelu(0.0f)), 0u);
  EXPECT_EQ(bits(gelu(-0.0f)), bits(-0.0f));
  EXPECT_NEAR(gelu(1.0f), 0.841192f, 1e-6f);
  EXPECT_NEAR(gelu(-1.0f), -0.158808f, 1e-6f);
  // tanh saturates to 1 in single precision: large inputs pass through, large negatives vanish.
  EXPECT_EQ(gelu(10.0f), 10.0f);
  EXPECT_EQ(gelu(-10.0f), 0.0f);
}

}  // namespace
}  // namespace zarn_compiler

namespace zarn_compiler {
namespace {

TEST(EncoderReference, HeadCountsThatDoNotDivideHiddenLeaveTrailingContextColumnsAtZero) {
  // With hidden 8 and 3 heads the head size is 2, so context columns 6 and 7 belong to no head; with
  // 16 heads every head is empty. Both evaluate to finite values; an empty sequence to nothing.
  struct Case {
    const char* name;
    EncoderConfig config;
    std::size_t outputs;
  };
  const Case cases[] = {
      {"3 heads", {4, 8, 3, 16}, 32},
      {"more heads than hidden", {4, 8, 16, 16}, 32},
      {"sequence 0", {0, 8, 2, 16}, 0},
      {"hidden 0", {4, 0, 2, 16}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> input(c.outputs);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = (static_cast<float>(i) - 9.0f) / 16.0f;
    const auto result = encoder_reference(c.config, input, EncoderWeights::deterministic(c.config));
    ASSERT_TRUE(result.has_value()) << to_string(result.error());
    ASSERT_EQ(result->size(), c.outputs);
    for (const float value : *result) EXPECT_TRUE(std::isfinite(value));
  }
}

}  // namespace
}  // namespace zarn_compiler
