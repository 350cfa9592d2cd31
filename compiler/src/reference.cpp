#include "zarn_compiler/reference.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <optional>

namespace zarn_compiler {
namespace {

constexpr float kLayerNormEpsilon = 1e-5f;
static_assert(std::bit_cast<std::uint32_t>(kLayerNormEpsilon) == 0x3727C5ACu);

// sqrt(2 / pi) and the cubic coefficient of the tanh approximation, as exact bit patterns.
constexpr float kGeluScale = std::bit_cast<float>(std::uint32_t{0x3F4C422Au});
constexpr float kGeluCubic = std::bit_cast<float>(std::uint32_t{0x3D372713u});
static_assert(kGeluScale == 0.7978846f && kGeluCubic == 0.044715f);

/// A broken caller contract of an infallible entry: stop with a diagnostic in every build type.
[[noreturn]] void contract_broken(const char* what) {
  std::fprintf(stderr, "zarn_compiler reference: %s\n", what);
  std::abort();
}

void require(bool holds, const char* what) {
  if (!holds) contract_broken(what);
}

/// rows * columns when the matrix's byte size fits in a machine word.
std::optional<std::size_t> matrix_elements(std::size_t rows, std::size_t columns) {
  constexpr std::size_t kMaxElements = std::numeric_limits<std::size_t>::max() / sizeof(float);
  if (columns != 0 && rows > kMaxElements / columns) return std::nullopt;
  return rows * columns;
}

/// rows * columns for an infallible entry whose caller promised a matching span.
std::size_t required_elements(std::size_t rows, std::size_t columns, const char* what) {
  const auto elements = matrix_elements(rows, columns);
  if (!elements) contract_broken(what);
  return *elements;
}

std::vector<float> deterministic_matrix(std::size_t rows, std::size_t columns, std::uint64_t salt) {
  const std::size_t elements = required_elements(rows, columns, "encoder weight matrix too large");
  const float denominator = std::sqrt(50.0f * static_cast<float>(rows));
  // (i * 17 + salt * 31) mod 101, reduced term by term so that no index can wrap the product.
  const std::uint64_t salt_term = (salt % 101) * 31 % 101;
  std::vector<float> matrix(elements);
  for (std::size_t index = 0; index < elements; ++index) {
    const std::uint64_t n = (static_cast<std::uint64_t>(index) % 101 * 17 + salt_term) % 101;
    matrix[index] = (static_cast<float>(n) + -50.0f) / denominator;
  }
  return matrix;
}

/// Sum in index order from -0.0.
float ordered_sum(std::span<const float> values) {
  float sum = -0.0f;
  for (const float value : values) sum = sum + value;
  return sum;
}

}  // namespace

EncoderWeights EncoderWeights::deterministic(EncoderConfig config) {
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;
  return EncoderWeights{
      .wq = deterministic_matrix(h, h, 1),
      .wk = deterministic_matrix(h, h, 2),
      .wv = deterministic_matrix(h, h, 3),
      .wo = deterministic_matrix(h, h, 4),
      .w1 = deterministic_matrix(h, f, 5),
      .w2 = deterministic_matrix(f, h, 6),
  };
}

std::vector<float> matmul(std::span<const float> left, std::span<const float> right, std::size_t rows,
                          std::size_t inner, std::size_t columns) {
  require(left.size() == required_elements(rows, inner, "matmul left operand too large"),
          "matmul left operand size mismatch");
  require(right.size() == required_elements(inner, columns, "matmul right operand too large"),
          "matmul right operand size mismatch");
  std::vector<float> output(required_elements(rows, columns, "matmul result too large"));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      float sum = 0.0f;
      for (std::size_t k = 0; k < inner; ++k) sum = (left[r * inner + k] * right[k * columns + c]) + sum;
      output[r * columns + c] = sum;
    }
  }
  return output;
}

std::vector<float> layer_norm(std::span<const float> input, std::size_t rows, std::size_t columns, float epsilon) {
  require(input.size() == required_elements(rows, columns, "layer_norm input too large"),
          "layer_norm input size mismatch");
  const float count = static_cast<float>(columns);
  std::vector<float> output(input.size(), 0.0f);
  for (std::size_t r = 0; r < rows; ++r) {
    const auto values = input.subspan(r * columns, columns);
    const float mean = ordered_sum(values) / count;
    float squares = -0.0f;
    for (const float value : values) {
      const float difference = value - mean;
      squares = squares + difference * difference;
    }
    const float variance = squares / count;
    const float scale = 1.0f / std::sqrt(variance + epsilon);
    for (std::size_t c = 0; c < columns; ++c) output[r * columns + c] = (values[c] - mean) * scale;
  }
  return output;
}

void softmax_rows(std::span<float> values, std::size_t rows, std::size_t columns) {
  require(values.size() == required_elements(rows, columns, "softmax input too large"),
          "softmax input size mismatch");
  for (std::size_t r = 0; r < rows; ++r) {
    const auto row = values.subspan(r * columns, columns);
    float maximum = -std::numeric_limits<float>::infinity();
    for (const float value : row) maximum = std::fmax(maximum, value);
    float total = 0.0f;
    for (float& value : row) {
      value = std::exp(value - maximum);
      total = value + total;
    }
    for (float& value : row) value = value / total;
  }
}

float gelu(float value) {
  const float half = 0.5f * value;
  const float cube = value * (value * value);
  const float inner = value + kGeluCubic * cube;
  const float t = std::tanh(kGeluScale * inner);
  return half * (1.0f + t);
}

CompileResult<std::vector<float>> encoder_reference(EncoderConfig config, std::span<const float> input,
                                                    const EncoderWeights& weights) {
  const std::size_t s = config.sequence;
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;
  // Dimensions first: without a head count there is no head size, and without representable sizes
  // the expected input size is not even defined.
  if (config.heads == 0) return graph_error("invalid encoder dimensions");
  const auto activation_elements = matrix_elements(s, h);
  const auto square_elements = matrix_elements(h, h);
  const auto feed_forward_elements = matrix_elements(h, f);
  if (!activation_elements || !square_elements || !feed_forward_elements) {
    return graph_error("invalid encoder dimensions");
  }
  if (input.size() != *activation_elements) return graph_error("encoder input size mismatch");
  for (const auto* square : {&weights.wq, &weights.wk, &weights.wv, &weights.wo}) {
    if (square->size() != *square_elements) return graph_error("encoder weight size mismatch");
  }
  if (weights.w1.size() != *feed_forward_elements || weights.w2.size() != *feed_forward_elements) {
    return graph_error("encoder weight size mismatch");
  }

  const auto norm1 = layer_norm(input, s, h, kLayerNormEpsilon);
  const auto q = matmul(norm1, weights.wq, s, h, h);
  const auto k = matmul(norm1, weights.wk, s, h, h);
  const auto v = matmul(norm1, weights.wv, s, h, h);

  // Attention per head. Each row of scores depends only on its own row of q and is normalised on
  // its own, so one row is built, normalised and consumed at a time: the values are those of the
  // full S x S score matrix, without ever holding it.
  const std::size_t head_size = h / config.heads;
  const float score_divisor = std::sqrt(static_cast<float>(head_size));
  std::vector<float> context(input.size(), 0.0f);
  std::vector<float> scores(s);
  for (std::size_t head = 0; head < config.heads; ++head) {
    const std::size_t first_column = head * head_size;
    for (std::size_t row = 0; row < s; ++row) {
      for (std::size_t column = 0; column < s; ++column) {
        float sum = 0.0f;
        for (std::size_t inner = 0; inner < head_size; ++inner) {
          const std::size_t index = first_column + inner;
          sum = (q[row * h + index] * k[column * h + index]) + sum;
        }
        scores[column] = sum / score_divisor;
      }
      softmax_rows(scores, 1, s);
      for (std::size_t inner = 0; inner < head_size; ++inner) {
        float sum = 0.0f;
        for (std::size_t column = 0; column < s; ++column) {
          sum = (scores[column] * v[column * h + first_column + inner]) + sum;
        }
        context[row * h + first_column + inner] = sum;
      }
    }
  }

  const auto projected = matmul(context, weights.wo, s, h, h);
  std::vector<float> residual1(input.size());
  for (std::size_t i = 0; i < residual1.size(); ++i) residual1[i] = input[i] + projected[i];
  const auto norm2 = layer_norm(residual1, s, h, kLayerNormEpsilon);

  // Feed-forward one row at a time, for the same reason: a row of the S x F hidden matrix feeds
  // only the same row of the result.
  std::vector<float> result(input.size());
  for (std::size_t row = 0; row < s; ++row) {
    auto hidden_row = matmul(std::span(norm2).subspan(row * h, h), weights.w1, 1, h, f);
    for (float& value : hidden_row) value = gelu(value);
    const auto down_row = matmul(hidden_row, weights.w2, 1, f, h);
    for (std::size_t c = 0; c < h; ++c) result[row * h + c] = residual1[row * h + c] + down_row[c];
  }
  return result;
}

}  // namespace zarn_compiler
