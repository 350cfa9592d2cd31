#pragma once
/// Host reference evaluation of the encoder layer, with deterministic weights.
///
/// Every arithmetic step is one single-precision operation with one rounding, in a fixed order: no
/// fused multiply-add, no reassociation, no vectorised or parallel reductions, no wider
/// accumulators. Results are therefore bit-for-bit repeatable for the same inputs on the same
/// platform (exp and tanh are the platform's single-precision functions).
///
/// Matrices are row-major lists of floats: row r, column c of a matrix with n columns is at
/// r * n + c.

#include <cstddef>
#include <span>
#include <vector>

#include "zarn_compiler/encoder.h"
#include "zarn_compiler/error.h"

namespace zarn_compiler {

/// The weights of one encoder layer; no biases and no layer-norm gain or shift.
struct EncoderWeights {
  std::vector<float> wq;  ///< hidden x hidden, query projection
  std::vector<float> wk;  ///< hidden x hidden, key projection
  std::vector<float> wv;  ///< hidden x hidden, value projection
  std::vector<float> wo;  ///< hidden x hidden, attention output projection
  std::vector<float> w1;  ///< hidden x feed_forward, feed-forward expansion
  std::vector<float> w2;  ///< feed_forward x hidden, feed-forward contraction

  /// Weights that need no external data: element i of a rows x columns matrix with salt s is
  /// (float((i * 17 + s * 31) mod 101) + -50) / sqrt(50 * float(rows)), salts 1..6 in field order.
  ///
  /// Precondition: every matrix's byte size fits in a machine word; otherwise the program stops
  /// with a diagnostic (a size is never wrapped).
  static EncoderWeights deterministic(EncoderConfig config);

  friend bool operator==(const EncoderWeights&, const EncoderWeights&) = default;
};

/// Evaluates the encoder layer on `input` (sequence x hidden) and returns the sequence x hidden
/// result. Checks, in this order, each failing with the `Graph` case:
/// - "invalid encoder dimensions": `heads` is 0, or the byte size of a sequence x hidden, hidden x hidden or hidden x feed_forward
///   matrix does not fit in a machine word;
/// - "encoder input size mismatch": `input` does not hold sequence x hidden elements;
/// - "encoder weight size mismatch": a weight matrix does not have its shape's element count.
/// Besides copies of the input's size it holds only one row of scores and one feed-forward row at
/// a time, so no allocation exceeds what the arguments already occupy.
CompileResult<std::vector<float>> encoder_reference(EncoderConfig config, std::span<const float> input,
                                                    const EncoderWeights& weights);

/// rows x inner times inner x columns. Each element sums left * right over k = 0, 1, ... into an
/// accumulator starting at +0.0, as (product) + sum.
/// Precondition (checked, stops the program): the spans hold exactly those element counts.
std::vector<float> matmul(std::span<const float> left, std::span<const float> right, std::size_t rows,
                          std::size_t inner, std::size_t columns);

/// Normalises each row to zero mean and unit variance: (v - mean) * (1 / sqrt(variance + epsilon)).
/// Sums run in index order from -0.0. Precondition (checked): `input` holds rows x columns elements.
std::vector<float> layer_norm(std::span<const float> input, std::size_t rows, std::size_t columns, float epsilon);

/// In place, per row: subtract the row maximum (NaN-ignoring), exponentiate, divide by the total
/// (summed in index order from +0.0). Precondition (checked): `values` holds rows x columns elements.
void softmax_rows(std::span<float> values, std::size_t rows, std::size_t columns);

/// The tanh approximation 0.5x * (1 + tanh(0.7978846 * (x + 0.044715 * x * (x * x)))).
float gelu(float value);

}  // namespace zarn_compiler
