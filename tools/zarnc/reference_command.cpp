#include "reference_command.h"

#include <unistd.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "zarn_compiler/reference.h"
#include "zarn_files/json_read.h"
#include "zarn_files/json_write.h"
#include "zarn_platform/format.h"

namespace zarnc {
namespace {

using zarn_files::Json;
using zarn_platform::format;

/// `rows` x `columns` when the product fits the reference's bound.
std::optional<std::size_t> bounded_product(std::size_t rows, std::size_t columns) {
  if (columns != 0 && rows > kMaxReferenceMatrixElements / columns) return std::nullopt;
  return rows * columns;
}

void print_line_to(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

std::vector<float> ramp_input(std::size_t count) {
  std::vector<float> input(count);
  for (std::size_t index = 0; index < count; ++index) input[index] = (static_cast<float>(index) - 9.0f) / 16.0f;
  return input;
}

}  // namespace

int run_reference(const zarn_compiler::EncoderConfig& config, const std::string& input_path, bool json) {
  const auto fail = [](int status, const std::string& message) {
    print_line_to(stderr, format("zarnc: error: {}\n", message));
    return status;
  };
  struct Matrix {
    const char* what;
    std::size_t rows;
    std::size_t columns;
  };
  // The attention scores are never held whole, but their count bounds the attention's work.
  for (const Matrix& matrix : {Matrix{"input", config.sequence, config.hidden}, Matrix{"wq", config.hidden, config.hidden},
                               Matrix{"w1", config.hidden, config.feed_forward},
                               Matrix{"attention scores", config.sequence, config.sequence}}) {
    if (!bounded_product(matrix.rows, matrix.columns)) {
      return fail(2, format("the {} matrix would be {} x {}; the reference evaluation takes at most {} elements per matrix",
                            matrix.what, matrix.rows, matrix.columns, kMaxReferenceMatrixElements));
    }
  }

  std::vector<float> input;
  if (input_path.empty()) {
    input = ramp_input(config.sequence * config.hidden);
  } else {
    auto document = zarn_files::read_json_file(input_path);
    if (!document) return fail(2, document.error().message);
    auto values = zarn_files::read_list(zarn_files::root_node(*document, input_path), zarn_files::read_float);
    if (!values) return fail(2, values.error().message);
    input = std::move(*values);
  }

  const auto weights = zarn_compiler::EncoderWeights::deterministic(config);
  auto outputs = zarn_compiler::encoder_reference(config, input, weights);

  float checksum = -0.0f;
  if (outputs) {
    for (const float value : *outputs) checksum += value;
  }
  std::string out;
  if (json) {
    Json document = Json{{"config", Json{{"sequence", config.sequence},
                                         {"hidden", config.hidden},
                                         {"heads", config.heads},
                                         {"feed_forward", config.feed_forward}}},
                         {"input", input_path.empty() ? Json("ramp") : Json(input_path)}};
    if (outputs) {
      Json values = Json::array();
      for (const float value : *outputs) values.push_back(zarn_files::float_json(value));
      document["outputs"] = std::move(values);
      document["checksum"] = zarn_files::float_json(checksum);
      document["error"] = nullptr;
    } else {
      document["outputs"] = nullptr;
      document["checksum"] = nullptr;
      document["error"] = Json{{"kind", std::string(zarn_compiler::kind_name(outputs.error()))},
                               {"message", zarn_compiler::message(outputs.error())}};
    }
    out = zarn_files::write_json(document);
  } else if (outputs) {
    out = format("zarnc reference: encoder layer (sequence {}, hidden {}, heads {}, feed_forward {})\n", config.sequence,
                 config.hidden, config.heads, config.feed_forward);
    out += format("input: {}\n", input_path.empty() ? std::string("ramp, element i = (i - 9) / 16") : input_path);
    out += format("outputs: {} x {}, row by row\n", config.sequence, config.hidden);
    for (std::size_t row = 0; row < config.sequence; ++row) {
      out += format("  row {}:", row);
      for (std::size_t column = 0; column < config.hidden; ++column) {
        if (column != 0 && column % 8 == 0) out += "\n   ";
        out += ' ';
        out += zarn_files::float_text((*outputs)[row * config.hidden + column]);
      }
      out += '\n';
    }
    out += format("checksum: {} (the sum of the outputs in index order)\n", zarn_files::float_text(checksum));
  }
  if (!out.empty() && (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)) {
    return fail(2, "cannot write to standard output");
  }
  if (!outputs) return fail(1, format("reference evaluation failed: {}", zarn_compiler::to_string(outputs.error())));
  return 0;
}

}  // namespace zarnc
