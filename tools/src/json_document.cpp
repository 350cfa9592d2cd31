#include "zarn_files/json_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "json_path.h"
#include "zarn_platform/format.h"

namespace zarn_files {
namespace {

using zarn_platform::format;

/// The offset of the first bracket that opens a level deeper than `limit`, or npos. Strings are
/// skipped with their escapes, so brackets inside them do not count.
std::size_t deep_nesting_offset(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t offset = 0; offset < text.size(); ++offset) {
    const char c = text[offset];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return offset;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return std::string_view::npos;
}

/// nlohmann's message without its "[json.exception.parse_error.101] parse error at line 1, column 5: "
/// prefix, since the position is reported in the file:line:column form.
std::string parse_error_detail(std::string_view what) {
  if (const auto bracket = what.find("] "); what.starts_with("[json.exception.") && bracket != what.npos) {
    what.remove_prefix(bracket + 2);
  }
  if (what.starts_with("parse error")) {
    if (const auto colon = what.find(": "); colon != what.npos) what.remove_prefix(colon + 2);
  }
  return std::string(what);
}

/// Builds the document from nlohmann's SAX events, refusing what the limits exclude.
class DocumentBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit DocumentBuilder(std::string_view text, std::string_view file) : text_(text), file_(file) {}

  bool null() { return add(Json(nullptr)); }
  bool boolean(bool value) { return add(Json(value)); }
  bool number_integer(number_integer_t value) { return add(Json(value)); }
  bool number_unsigned(number_unsigned_t value) { return add(Json(value)); }
  bool number_float(number_float_t value, const string_t& literal) { return add(Json(float_value(value, literal))); }
  bool string(string_t& value) { return add(Json(std::move(value))); }
  bool binary(binary_t&) { return fail_here("binary values are not JSON"); }

  bool start_object(std::size_t) { return open(Json::object()); }
  bool start_array(std::size_t) { return open(Json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(string_t& name) {
    Frame& frame = frames_.back();
    if (frame.container->contains(name)) {
      return fail_here(format("duplicate member \"{}\"", escaped_for_message(name)));
    }
    if (frame.container->size() >= kMaxObjectMembers) {
      return fail_here(format("object has more than {} members", kMaxObjectMembers));
    }
    frame.key = std::move(name);
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) {
    // nlohmann counts the offending character as read; the error points at it.
    const auto where = position_of(text_, position == 0 ? 0 : position - 1);
    error_ = FileError{format("{}:{}:{}: {}", file_, where.line, where.column, parse_error_detail(error.what()))};
    return false;
  }

  /// The finished document, or the reason the parse stopped.
  FileResult<Json> result(bool parsed) {
    if (error_) return std::unexpected(*error_);
    if (!parsed) return std::unexpected(FileError{format("{}: not a JSON document", file_)});
    return std::move(root_);
  }

 private:
  struct Frame {
    Json* container;
    std::string key;  // member being read when `container` is an object
  };

  /// Nearest double, unless it would round to another float than the literal: see parse_json.
  static double float_value(double value, const string_t& literal) {
    float nearest = 0.0f;
    const auto [end, status] = std::from_chars(literal.data(), literal.data() + literal.size(), nearest);
    if (status != std::errc{} || end != literal.data() + literal.size()) return value;
    return static_cast<float>(value) == nearest ? value : static_cast<double>(nearest);
  }

  /// Path of the innermost open container: every open level selects the child being read.
  std::string path() const {
    std::string text = "$";
    for (std::size_t level = 0; level + 1 < frames_.size(); ++level) {
      const Frame& frame = frames_[level];
      if (frame.container->is_object()) {
        append_member(text, frame.key);
      } else {
        append_index(text, frame.container->size() - 1);
      }
    }
    return text;
  }

  bool fail_here(const std::string& problem) {
    error_ = FileError{format("{}: {}: {}", file_, path(), problem)};
    return false;
  }

  Json* place(Json value) {
    if (frames_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Frame& frame = frames_.back();
    if (frame.container->is_array()) {
      frame.container->push_back(std::move(value));
      return &frame.container->back();
    }
    Json& member = (*frame.container)[frame.key];
    member = std::move(value);
    return &member;
  }

  bool add(Json value) {
    place(std::move(value));
    return true;
  }

  bool open(Json container) {
    if (frames_.size() >= kMaxNestingDepth) {
      const auto offset = deep_nesting_offset(text_, kMaxNestingDepth);
      const auto where = position_of(text_, offset == std::string_view::npos ? 0 : offset);
      error_ = FileError{format("{}:{}:{}: nesting deeper than {} levels", file_, where.line, where.column,
                                kMaxNestingDepth)};
      return false;
    }
    Json* placed = place(std::move(container));
    frames_.push_back(Frame{placed, {}});
    return true;
  }

  bool close() {
    frames_.pop_back();
    return true;
  }

  std::string_view text_;
  std::string_view file_;
  Json root_;
  std::vector<Frame> frames_;
  std::optional<FileError> error_;
};

std::string system_message(int error_number) { return std::generic_category().message(error_number); }

}  // namespace

TextPosition position_of(std::string_view text, std::size_t offset) {
  TextPosition position;
  const std::size_t end = offset < text.size() ? offset : text.size();
  std::size_t line_start = 0;
  for (std::size_t index = 0; index < end; ++index) {
    if (text[index] == '\n') {
      ++position.line;
      line_start = index + 1;
    }
  }
  position.column = offset - line_start + 1;
  return position;
}

FileResult<Json> parse_json(std::string_view text, std::string_view file) {
  if (text.size() > kMaxDocumentBytes) {
    return std::unexpected(FileError{format("{}: document is larger than {} bytes", file, kMaxDocumentBytes)});
  }
  DocumentBuilder builder(text, file);
  const bool parsed = Json::sax_parse(text, &builder, Json::input_format_t::json, /*strict=*/true,
                                      /*ignore_comments=*/false);
  return builder.result(parsed);
}

FileResult<std::string> read_text_file(const std::string& path) {
  const auto failure = [&](const std::string& problem) { return std::unexpected(FileError{format("{}: {}", path, problem)}); };
  // Non-blocking, so that opening a FIFO without a writer cannot hang; only regular files are read.
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return failure(format("cannot open: {}", system_message(errno)));
  struct Closer {
    int descriptor;
    ~Closer() { close(descriptor); }
  } closer{descriptor};
  struct stat status {};
  if (fstat(descriptor, &status) != 0) return failure(format("cannot read: {}", system_message(errno)));
  if (!S_ISREG(status.st_mode)) return failure("not a regular file");
  if (static_cast<std::uint64_t>(status.st_size) > kMaxDocumentBytes) {
    return failure(format("file is larger than {} bytes", kMaxDocumentBytes));
  }
  std::string text;
  std::vector<char> buffer(std::size_t{1} << 16);
  while (true) {
    const ssize_t count = read(descriptor, buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return failure(format("cannot read: {}", system_message(errno)));
    }
    if (count == 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(count));
    // The file may have grown since fstat.
    if (text.size() > kMaxDocumentBytes) return failure(format("file is larger than {} bytes", kMaxDocumentBytes));
  }
  return text;
}

FileResult<Json> read_json_file(const std::string& path) {
  auto text = read_text_file(path);
  if (!text) return std::unexpected(text.error());
  return parse_json(*text, path);
}

}  // namespace zarn_files
