#include "zarn_compiler/encoder.h"

namespace zarn_compiler {

CompileResult<Graph> encoder_graph(EncoderConfig config) {
  const std::size_t s = config.sequence;
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;
  if (s == 0 || h == 0 || config.heads == 0 || h % config.heads != 0) return graph_error("invalid encoder dimensions");

  Graph graph;
  const TensorId input = graph.input("input", {s, h});
  const TensorId wq = graph.weight("wq", {h, h});
  const TensorId wk = graph.weight("wk", {h, h});
  const TensorId wv = graph.weight("wv", {h, h});
  const TensorId wo = graph.weight("wo", {h, h});
  const TensorId w1 = graph.weight("w1", {h, f});
  const TensorId w2 = graph.weight("w2", {f, h});

  // The layer is one attention over the full width: heads only constrain the configuration.
  const auto norm1 = graph.layer_norm("norm1", input, 1e-5f);
  if (!norm1) return std::unexpected(norm1.error());
  const auto q = graph.matmul("q", *norm1, wq);
  if (!q) return std::unexpected(q.error());
  const auto k = graph.matmul("k", *norm1, wk);
  if (!k) return std::unexpected(k.error());
  const auto v = graph.matmul("v", *norm1, wv);
  if (!v) return std::unexpected(v.error());
  const auto k_transpose = graph.transpose("k_transpose", *k, {1, 0});
  if (!k_transpose) return std::unexpected(k_transpose.error());
  const auto scores = graph.matmul("attention_scores", *q, *k_transpose);
  if (!scores) return std::unexpected(scores.error());
  const auto softmax = graph.softmax("attention_softmax", *scores, 1);
  if (!softmax) return std::unexpected(softmax.error());
  const auto context = graph.matmul("attention_context", *softmax, *v);
  if (!context) return std::unexpected(context.error());
  const auto projection = graph.matmul("attention_projection", *context, wo);
  if (!projection) return std::unexpected(projection.error());
  const auto residual = graph.add("attention_residual", input, *projection);
  if (!residual) return std::unexpected(residual.error());
  const auto norm2 = graph.layer_norm("norm2", *residual, 1e-5f);
  if (!norm2) return std::unexpected(norm2.error());
  const auto up = graph.matmul("ffn_up", *norm2, w1);
  if (!up) return std::unexpected(up.error());
  const auto activated = graph.gelu("ffn_gelu", *up);
  if (!activated) return std::unexpected(activated.error());
  const auto down = graph.matmul("ffn_down", *activated, w2);
  if (!down) return std::unexpected(down.error());
  const auto output = graph.add("ffn_residual", *residual, *down);
  if (!output) return std::unexpected(output.error());

  graph.mark_output(*output);
  return graph;
}

}  // namespace zarn_compiler
