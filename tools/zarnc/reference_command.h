#pragma once
// `zarnc reference`: the host reference evaluation of the encoder layer.

#include <cstddef>
#include <string>

#include "zarn_compiler/encoder.h"

namespace zarnc {

/// Largest matrix, in elements, the reference evaluation is run for (64 MiB of floats): the input,
/// each weight, and the attention scores (whose count bounds the attention's work). Larger dimensions
/// are refused as a usage error before anything is allocated.
inline constexpr std::size_t kMaxReferenceMatrixElements = std::size_t{1} << 24;

/// Evaluates the layer on the input read from `input_path` (a JSON array of numbers), or on the ramp
/// input (element i is (i - 9) / 16) when the path is empty, and prints the outputs and their checksum
/// (the sum in index order from -0.0, in single precision). Returns the exit status.
int run_reference(const zarn_compiler::EncoderConfig& config, const std::string& input_path, bool json);

}  // namespace zarnc
