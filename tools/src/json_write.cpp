#include "zarn_files/json_write.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace zarn_files {
namespace {

constexpr std::size_t kWidth = 100;

/// Length of a valid UTF-8 sequence starting at `index`, or 0 when the bytes there are not one.
std::size_t utf8_sequence_length(const std::string& text, std::size_t index) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(index);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (index + length > text.size()) return 0;
  for (std::size_t offset = 1; offset < length; ++offset) {
    if ((byte(index + offset) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(index + offset) & 0x3Fu);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
  if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

void write_string(std::string& out, const std::string& text) {
  out += '"';
  for (std::size_t index = 0; index < text.size();) {
    const char c = text[index];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const std::size_t length = utf8_sequence_length(text, index);
      if (length == 0) {
        out += "\xEF\xBF\xBD";
        ++index;
      } else {
        out.append(text, index, length);
        index += length;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          char code[8];
          std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(byte));
          out += code;
        } else {
          out += c;
        }
    }
    ++index;
  }
  out += '"';
}

bool is_container(const Json& value) { return value.is_array() || value.is_object(); }

/// Nesting depth: 0 for a scalar or an empty container.
std::size_t depth(const Json& value) {
  if (!is_container(value)) return 0;
  std::size_t deepest = 0;
  for (const auto& child : value) deepest = std::max(deepest, depth(child));
  return deepest + 1;
}

void write_scalar(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: out += "null"; break;
    case Json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; break;
    case Json::value_t::string: write_string(out, value.get_ref<const std::string&>()); break;
    case Json::value_t::number_unsigned: out += std::to_string(value.get<std::uint64_t>()); break;
    case Json::value_t::number_integer: out += std::to_string(value.get<std::int64_t>()); break;
    case Json::value_t::number_float: {
      const double number = value.get<double>();
      out += std::isfinite(number) ? float_text(static_cast<float>(number)) : "null";
      break;
    }
    default: out += "null"; break;
  }
}

void write_inline(std::string& out, const Json& value) {
  if (value.is_array()) {
    out += '[';
    bool first = true;
    for (const auto& element : value) {
      if (!first) out += ", ";
      first = false;
      write_inline(out, element);
    }
    out += ']';
  } else if (value.is_object()) {
    out += '{';
    bool first = true;
    for (const auto& [name, member] : value.items()) {
      if (!first) out += ", ";
      first = false;
      write_string(out, name);
      out += ": ";
      write_inline(out, member);
    }
    out += '}';
  } else {
    write_scalar(out, value);
  }
}

void write_value(std::string& out, const Json& value, std::size_t indent, std::size_t column);

void newline(std::string& out, std::size_t indent) {
  out += '\n';
  out.append(indent, ' ');
}

/// `column` is where the value starts on its line; it decides whether an inline form fits.
void write_value(std::string& out, const Json& value, std::size_t indent, std::size_t column) {
  if (!is_container(value) || value.empty()) {
    if (value.is_array() && value.empty()) {
      out += "[]";
    } else if (value.is_object() && value.empty()) {
      out += "{}";
    } else {
      write_scalar(out, value);
    }
    return;
  }
  const std::size_t levels = depth(value);
  if (levels <= 2) {
    std::string line;
    write_inline(line, value);
    if (column + line.size() <= kWidth) {
      out += line;
      return;
    }
  }
  if (value.is_array() && levels == 1) {
    // A long list of scalars: as many per line as fit.
    out += '[';
    std::size_t line_length = kWidth;
    bool first = true;
    for (const auto& element : value) {
      std::string text;
      write_scalar(text, element);
      if (!first) out += ',';
      if (line_length + text.size() + 2 > kWidth) {
        newline(out, indent + 2);
        line_length = indent + 2;
      } else {
        out += ' ';
        ++line_length;
      }
      out += text;
      line_length += text.size() + 1;
      first = false;
    }
    newline(out, indent);
    out += ']';
    return;
  }
  const bool array = value.is_array();
  out += array ? '[' : '{';
  bool first = true;
  for (const auto& [name, member] : value.items()) {
    if (!first) out += ',';
    first = false;
    newline(out, indent + 2);
    std::size_t member_column = indent + 2;
    if (!array) {
      const std::size_t before = out.size();
      write_string(out, name);
      out += ": ";
      member_column += out.size() - before;
    }
    write_value(out, member, indent + 2, member_column);
  }
  newline(out, indent);
  out += array ? ']' : '}';
}

}  // namespace

std::string float_text(float value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0.0f) return std::signbit(value) ? "-0.0" : "0.0";
  char buffer[64];
  const auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, status == std::errc{} ? end : buffer);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

Json float_json(float value) { return Json(static_cast<double>(value)); }

std::string write_json(const Json& document) {
  std::string out;
  write_value(out, document, 0, 0);
  out += '\n';
  return out;
}

}  // namespace zarn_files
