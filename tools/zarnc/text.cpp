#include "text.h"

#include <algorithm>
#include <cstdio>

#include "zarn_platform/format.h"

namespace zarnc {
namespace {

std::string styled(bool color, std::string_view code, std::string_view text) {
  if (!color) return std::string(text);
  return zarn_platform::format("\x1b[{}m{}\x1b[0m", code, text);
}

/// `numerator / denominator` with one decimal, rounded half up, in integers (no float formatting).
std::string one_decimal(std::uint64_t numerator, std::uint64_t denominator) {
  // Long division, so that no product passes 64 bits for any numerator (denominators stay small).
  std::uint64_t whole = numerator / denominator;
  std::uint64_t tenth = ((numerator % denominator) * 10 + denominator / 2) / denominator;
  if (tenth == 10) {
    ++whole;
    tenth = 0;
  }
  return zarn_platform::format("{}.{}", whole, tenth);
}

}  // namespace

std::string Style::bold(std::string_view text) const { return styled(color, "1", text); }
std::string Style::red(std::string_view text) const { return styled(color, "1;31", text); }
std::string Style::dim(std::string_view text) const { return styled(color, "2", text); }

std::string Table::render(std::size_t indent, const Style& style) const {
  std::vector<std::size_t> widths(align_.size(), 0);
  for (const auto& row : rows_) {
    for (std::size_t column = 0; column < row.size() && column < widths.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  }
  std::string out;
  for (std::size_t index = 0; index < rows_.size(); ++index) {
    std::string line(indent, ' ');
    const auto& row = rows_[index];
    for (std::size_t column = 0; column < row.size() && column < widths.size(); ++column) {
      if (column != 0) line += "  ";
      const std::string padding(widths[column] - row[column].size(), ' ');
      const bool last = column + 1 == row.size();
      if (align_[column] == Align::Right) {
        line += padding + row[column];
      } else {
        line += row[column];
        if (!last) line += padding;
      }
    }
    out += index == 0 ? style.dim(line) : line;
    out += '\n';
  }
  return out;
}

std::string byte_size_text(std::uint64_t bytes) {
  if (bytes < 1024) return zarn_platform::format("{} B", bytes);
  return one_decimal(bytes, 1024) + " KiB";
}

std::string hex_text(std::uint64_t value) { return zarn_platform::format("0x{}", zarn_platform::Hex{value}); }

std::string hex_words(std::span<const std::uint32_t> words, std::size_t per_line, std::size_t indent) {
  std::string out;
  for (std::size_t index = 0; index < words.size(); ++index) {
    if (index != 0) {
      if (index % per_line == 0) {
        out += '\n';
        out.append(indent, ' ');
      } else {
        out += ' ';
      }
    }
    char word[16];
    std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(words[index]));
    out += word;
  }
  return out;
}

std::string tile_ranges(std::span<const std::uint16_t> tiles) {
  if (tiles.empty()) return "none";
  std::string out;
  for (std::size_t start = 0; start < tiles.size();) {
    std::size_t end = start;
    while (end + 1 < tiles.size() && tiles[end + 1] == tiles[end] + 1) ++end;
    if (!out.empty()) out += ", ";
    out += end == start ? std::to_string(tiles[start])
                        : zarn_platform::format("{}..{}", tiles[start], tiles[end]);
    start = end + 1;
  }
  return out;
}

std::string count_text(std::uint64_t count, std::string_view singular, std::string_view plural) {
  return zarn_platform::format("{} {}", count, count == 1 ? singular : plural);
}

std::string percent_text(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "-";
  return one_decimal(part * 100, whole) + "%";
}

}  // namespace zarnc
