#include "zarn_files/json_read.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "json_path.h"
#include "zarn_platform/format.h"

namespace zarn_files {
namespace {

using zarn_platform::format;

std::string double_text(double value) {
  char buffer[64];
  const auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return status == std::errc{} ? std::string(buffer, end) : std::string("?");
}

std::string quoted_list(std::span<const std::string_view> names) {
  std::string text;
  for (std::size_t index = 0; index < names.size(); ++index) {
    if (index != 0) text += ", ";
    text += format("\"{}\"", names[index]);
  }
  return text;
}

std::string quoted_case_list(std::span<const VariantCase> cases) {
  std::vector<std::string_view> names;
  for (const auto& variant_case : cases) names.push_back(variant_case.name);
  return quoted_list(names);
}

}  // namespace

void append_member(std::string& path, std::string_view name) {
  const bool plain = !name.empty() && (std::isalpha(static_cast<unsigned char>(name[0])) != 0 || name[0] == '_') &&
                     std::all_of(name.begin(), name.end(), [](char c) {
                       return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
                     });
  if (plain) {
    path += '.';
    path += name;
  } else {
    path += format("[\"{}\"]", escaped_for_message(name));
  }
}

void append_index(std::string& path, std::size_t index) { path += format("[{}]", index); }

std::string escaped_for_message(std::string_view text) {
  constexpr std::size_t kShown = 64;
  bool cut = false;
  if (text.size() > kShown) {
    std::size_t end = kShown;
    // Never split a UTF-8 sequence: back off over continuation bytes.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) --end;
    text = text.substr(0, end);
    cut = true;
  }
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      escaped += '\\';
      escaped += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(byte));
      escaped += code;
    } else {
      escaped += c;
    }
  }
  if (cut) escaped += "...";
  return escaped;
}

Node Node::member(std::string_view name) const {
  Node child;
  child.value = &(*value)[std::string(name)];
  child.file = file;
  child.path = path;
  append_member(child.path, name);
  return child;
}

Node Node::element(std::size_t index) const {
  Node child;
  child.value = &(*value)[index];
  child.file = file;
  child.path = path;
  append_index(child.path, index);
  return child;
}

Node root_node(const Json& document, std::string_view file) { return Node{&document, file, "$"}; }

FileError error_at(const Node& node, std::string_view problem) {
  return FileError{format("{}: {}: {}", node.file, node.path, problem)};
}

std::string describe(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return value.get<bool>() ? "true" : "false";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::object:
      return "an object";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::number_unsigned:
      return format("the number {}", value.get<std::uint64_t>());
    case Json::value_t::number_integer:
      return format("the number {}", value.get<std::int64_t>());
    case Json::value_t::number_float:
      return format("the number {}", double_text(value.get<double>()));
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  return "an unsupported value";
}

FileResult<std::uint64_t> read_unsigned_bits(const Node& node, unsigned bits) {
  const Json& value = *node.value;
  const std::uint64_t max = bits >= 64 ? std::numeric_limits<std::uint64_t>::max() : (std::uint64_t{1} << bits) - 1;
  const auto failure = [&](std::string_view found) {
    return std::unexpected(error_at(node, format("expected an unsigned {}-bit integer, found {}", bits, found)));
  };
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > max) return failure(format("the number {} (larger than {})", number, max));
    return number;
  }
  if (value.is_number_integer()) {
    const auto number = value.get<std::int64_t>();
    if (number == 0) return std::uint64_t{0};  // written as -0
    return failure(format("the negative number {}", number));
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (number != std::trunc(number)) return failure(format("the number {} (not a whole number)", double_text(number)));
    if (number < 0) return failure(format("the negative number {}", double_text(number)));
    if (number >= 18446744073709551616.0) return failure(format("the number {} (beyond 64 bits)", double_text(number)));
    return failure(format("the number {} (write integers without a fraction or exponent)", double_text(number)));
  }
  return failure(describe(value));
}

FileResult<float> read_float(const Node& node) {
  const Json& value = *node.value;
  if (value.is_number_unsigned()) return static_cast<float>(value.get<std::uint64_t>());
  if (value.is_number_integer()) return static_cast<float>(value.get<std::int64_t>());
  if (value.is_number_float()) {
    const double number = value.get<double>();
    // Values from here up round to infinity in single precision: FLT_MAX plus half a unit in the last place.
    constexpr double kOverflow = 0x1.ffffffp127;
    if (!std::isfinite(number) || std::fabs(number) >= kOverflow) {
      return std::unexpected(error_at(
          node, format("expected a single-precision number, found the number {} (beyond the single-precision range)",
                       double_text(number))));
    }
    return static_cast<float>(number);
  }
  return std::unexpected(error_at(node, format("expected a number, found {}", describe(value))));
}

FileResult<std::string> read_string(const Node& node) {
  if (!node.value->is_string()) {
    return std::unexpected(error_at(node, format("expected a string, found {}", describe(*node.value))));
  }
  return node.value->get<std::string>();
}

FileResult<std::vector<Node>> read_array(const Node& node, std::size_t max_elements) {
  if (!node.value->is_array()) {
    return std::unexpected(error_at(node, format("expected an array, found {}", describe(*node.value))));
  }
  if (node.value->size() > max_elements) {
    return std::unexpected(
        error_at(node, format("has {} elements; at most {} are accepted", node.value->size(), max_elements)));
  }
  std::vector<Node> elements;
  elements.reserve(node.value->size());
  for (std::size_t index = 0; index < node.value->size(); ++index) elements.push_back(node.element(index));
  return elements;
}

bool Object::has(std::string_view name) const { return node_.value->contains(name); }

FileResult<Node> Object::member(std::string_view name) const {
  if (!has(name)) return std::unexpected(error_at(node_, format("missing member \"{}\"", name)));
  return node_.member(name);
}

FileResult<std::string> Object::string_member(std::string_view name) const {
  auto member_node = member(name);
  if (!member_node) return std::unexpected(member_node.error());
  return read_string(*member_node);
}

FileResult<float> Object::float_member(std::string_view name) const {
  auto member_node = member(name);
  if (!member_node) return std::unexpected(member_node.error());
  return read_float(*member_node);
}

FileResult<Object> read_object_allowing(const Node& node, std::initializer_list<std::string_view> allowed) {
  if (!node.value->is_object()) {
    return std::unexpected(error_at(node, format("expected an object, found {}", describe(*node.value))));
  }
  for (const auto& [name, value] : node.value->items()) {
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
      return std::unexpected(error_at(node, format("unknown member \"{}\" (expected {})", escaped_for_message(name),
                                                   quoted_list(std::span(allowed.begin(), allowed.size())))));
    }
  }
  return Object(node);
}

FileResult<Object> read_object(const Node& node, std::initializer_list<std::string_view> members) {
  auto object = read_object_allowing(node, members);
  if (!object) return object;
  for (const auto name : members) {
    if (!object->has(name)) return std::unexpected(error_at(node, format("missing member \"{}\"", name)));
  }
  return object;
}

FileResult<VariantValue> read_variant(const Node& node, std::string_view what, std::span<const VariantCase> cases) {
  const Json& value = *node.value;
  const auto find_case = [&](std::string_view name) -> FileResult<std::size_t> {
    for (std::size_t index = 0; index < cases.size(); ++index) {
      if (cases[index].name == name) return index;
    }
    return std::unexpected(error_at(
        node, format("unknown {} \"{}\" (expected one of {})", what, escaped_for_message(name), quoted_case_list(cases))));
  };
  if (value.is_string()) {
    const auto& name = value.get_ref<const std::string&>();
    auto index = find_case(name);
    if (!index) return std::unexpected(index.error());
    if (cases[*index].has_payload) {
      return std::unexpected(error_at(node, format("{} \"{}\" carries fields; write it as {\"{}\": {...}}", what, name, name)));
    }
    return VariantValue{*index, node};
  }
  if (value.is_object() && value.size() == 1) {
    const auto& name = value.begin().key();
    auto index = find_case(name);
    if (!index) return std::unexpected(index.error());
    if (!cases[*index].has_payload) {
      return std::unexpected(error_at(node, format("{} \"{}\" has no fields; write it as the string \"{}\"", what, name, name)));
    }
    return VariantValue{*index, node.member(name)};
  }
  const std::string found =
      value.is_object() ? format("an object with {} members", value.size()) : describe(value);
  const bool vowel = !what.empty() && std::string_view("aeiou").find(what[0]) != std::string_view::npos;
  return std::unexpected(error_at(node, format("expected {} {} (a name, or an object with the name as its one member), found {}",
                                               vowel ? "an" : "a", what, found)));
}

}  // namespace zarn_files
