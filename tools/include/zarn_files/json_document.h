#pragma once
/// Reading a JSON document from a file or a text, strictly and within fixed limits.
///
/// Everything zarnc reads goes through `parse_json`: a document larger than `kMaxDocumentBytes`,
/// nested deeper than `kMaxNestingDepth`, with an object of more than `kMaxObjectMembers` members or
/// with a repeated member name is refused before any record is built from it. Syntax errors name the
/// line and column (1-based, columns counted in bytes). Nothing here throws.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zarn_files {

/// The document type: objects keep their members in file order (and are written in insertion order).
using Json = nlohmann::ordered_json;

/// A malformed, unreadable or unwritable file: the complete message, naming the file first.
struct FileError {
  std::string message;
  friend bool operator==(const FileError&, const FileError&) = default;
};

template <typename T>
using FileResult = std::expected<T, FileError>;

/// Largest document read, in bytes (64 MiB). A schedule of the built-in encoder is about 0.3 MiB.
inline constexpr std::size_t kMaxDocumentBytes = std::size_t{64} << 20;
/// Deepest nesting of arrays and objects accepted; the deepest record read (a schedule) needs 8.
inline constexpr std::size_t kMaxNestingDepth = 64;
/// Most members one object may have; no record of the file formats has more than 8 fields.
inline constexpr std::size_t kMaxObjectMembers = 64;

/// Line and column (both from 1, the column counted in bytes) of byte `offset` of `text`.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
  friend bool operator==(const TextPosition&, const TextPosition&) = default;
};
TextPosition position_of(std::string_view text, std::size_t offset);

/// Parses `text` as one JSON document. `file` names the source in messages ("graph.json:3:17: ...").
///
/// Numbers keep nlohmann's typing: non-negative integer literals that fit in 64 bits are unsigned,
/// negative ones that fit are signed, everything else (fractions, exponents, larger integers) is
/// floating point. A floating-point literal is stored as the double nearest to it, except where that
/// double would round to a different single-precision value than the literal itself does: then the
/// single-precision value is stored, so a float field always reads the float nearest the literal.
FileResult<Json> parse_json(std::string_view text, std::string_view file);

/// Reads the whole file at `path` (refusing anything larger than `kMaxDocumentBytes` or that is not a
/// regular file) and parses it. Messages name the file as `path` was given.
FileResult<Json> read_json_file(const std::string& path);

/// Reads the whole file at `path` as bytes, with the same size limit and checks as `read_json_file`.
FileResult<std::string> read_text_file(const std::string& path);

}  // namespace zarn_files
