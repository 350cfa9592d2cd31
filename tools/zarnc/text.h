#pragma once
// Plain-text building blocks of zarnc's report and listings: aligned tables, styles, number forms.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zarnc {

/// Terminal styling; every function returns the text unchanged when colour is off.
struct Style {
  bool color = false;

  std::string bold(std::string_view text) const;
  std::string red(std::string_view text) const;
  std::string dim(std::string_view text) const;
};

/// Columns separated by two blanks; numbers right-aligned, text left-aligned. Cells hold no escape
/// codes, so widths are plain lengths.
class Table {
 public:
  enum class Align : std::uint8_t { Left, Right };

  explicit Table(std::vector<Align> columns) : align_(std::move(columns)) {}
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  bool empty() const { return rows_.empty(); }
  /// Every row on its own line, each line starting with `indent` blanks; the first row is the
  /// heading and is styled dim.
  std::string render(std::size_t indent, const Style& style) const;

 private:
  std::vector<Align> align_;
  std::vector<std::vector<std::string>> rows_;
};

/// "33.0 KiB" (one decimal), or "512 B" below 1 KiB.
std::string byte_size_text(std::uint64_t bytes);

/// "0x5f400".
std::string hex_text(std::uint64_t value);

/// "41800003 40a0001b ..." with `per_line` words a line, continuation lines indented by `indent`.
std::string hex_words(std::span<const std::uint32_t> words, std::size_t per_line, std::size_t indent);

/// Tiles as ranges: "0..7", "0, 2, 5..9", "none".
std::string tile_ranges(std::span<const std::uint16_t> tiles);

/// "1 transfer", "4 transfers".
std::string count_text(std::uint64_t count, std::string_view singular, std::string_view plural);

/// The percentage with one decimal: "5.5%".
std::string percent_text(std::uint64_t part, std::uint64_t whole);

}  // namespace zarnc
