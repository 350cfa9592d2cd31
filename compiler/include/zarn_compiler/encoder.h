#pragma once
/// The built-in workload: one pre-normalisation transformer-encoder layer as a graph.
///
/// layer norm -> q, k, v projections -> attention over the full width -> output projection ->
/// residual -> layer norm -> feed-forward with GELU -> residual. The host reference in
/// reference.h evaluates the same layer from the same configuration.

#include <cstddef>

#include "zarn_compiler/error.h"
#include "zarn_compiler/graph.h"

namespace zarn_compiler {

/// Dimensions of the encoder layer.
struct EncoderConfig {
  /// Number of token rows (S).
  std::size_t sequence = 32;
  /// Model width (H).
  std::size_t hidden = 64;
  /// Number of attention heads; must divide `hidden`. The graph carries one attention over the
  /// full width, so heads only enter it through that rule.
  std::size_t heads = 4;
  /// Width of the feed-forward layer (F).
  std::size_t feed_forward = 256;

  friend bool operator==(const EncoderConfig&, const EncoderConfig&) = default;
};

/// Builds the encoder layer: tensors 0..6 are input [S, H], wq, wk, wv, wo [H, H], w1 [H, F] and
/// w2 [F, H]; operations 0..14 create tensors 7..21 (norm1 ... ffn_residual), and ffn_residual is
/// the single output.
///
/// Fails with "invalid encoder dimensions" when `sequence`, `hidden` or `heads` is 0 or `hidden` is
/// not a multiple of `heads`. `feed_forward` is not examined: 0 builds a graph with zero-sized
/// tensors, which `Graph::validate` rejects ("invalid tensor w1").
CompileResult<Graph> encoder_graph(EncoderConfig config);

}  // namespace zarn_compiler
