#pragma once
/// Strict typed reading of a parsed document.
///
/// Every reader takes a `Node` (a value with its file and JSON path) and returns the typed value or a
/// `FileError` whose message names the file and the path: "graph.json: $.steps[3].matmul.left:
/// expected an unsigned 64-bit integer, found the number -1". Integers must be written as integer
/// literals that fit the field's width; objects may hold only the members a record has, and must hold
/// all of them; variants are a name, or an object with the variant's name as its one member.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zarn_files/json_document.h"

/// Evaluates `expression` (a FileResult); on failure returns its error from the enclosing function,
/// otherwise moves the value into `target`.
#define ZARN_FILES_ASSIGN(target, expression)                                    \
  do {                                                                           \
    auto zarn_files_result = (expression);                                       \
    if (!zarn_files_result) return std::unexpected(zarn_files_result.error());   \
    (target) = std::move(*zarn_files_result);                                    \
  } while (false)

/// Evaluates `expression` (a FileResult<void>); on failure returns its error.
#define ZARN_FILES_CHECK(expression)                                             \
  do {                                                                           \
    auto zarn_files_result = (expression);                                       \
    if (!zarn_files_result) return std::unexpected(zarn_files_result.error());   \
  } while (false)

namespace zarn_files {

/// No bound on a list's length beyond the document's size.
inline constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

/// One value of a document and where it is.
struct Node {
  const Json* value = nullptr;
  std::string_view file;
  /// "$" for the document itself.
  std::string path = "$";

  Node member(std::string_view name) const;
  Node element(std::size_t index) const;
};

/// The document's root.
Node root_node(const Json& document, std::string_view file);

/// "{file}: {path}: {problem}".
FileError error_at(const Node& node, std::string_view problem);

/// How a value is described in "found ..." messages: "a string", "null", "the number -1".
std::string describe(const Json& value);

/// An unsigned integer of at most `bits` bits (8, 16, 32 or 64), written as an integer literal.
FileResult<std::uint64_t> read_unsigned_bits(const Node& node, unsigned bits);

template <std::unsigned_integral T>
FileResult<T> read_unsigned(const Node& node) {
  auto value = read_unsigned_bits(node, std::numeric_limits<T>::digits);
  if (!value) return std::unexpected(value.error());
  return static_cast<T>(*value);
}

/// A number, converted to the nearest single-precision value; integers are accepted. Fails for
/// magnitudes beyond the single-precision range (JSON has no infinities or NaNs).
FileResult<float> read_float(const Node& node);

FileResult<std::string> read_string(const Node& node);

/// The elements of an array of at most `max_elements` entries.
FileResult<std::vector<Node>> read_array(const Node& node, std::size_t max_elements = kUnlimited);

/// An array whose every element is read by `read`.
template <typename Read>
auto read_list(const Node& node, Read read, std::size_t max_elements = kUnlimited)
    -> FileResult<std::vector<typename std::invoke_result_t<Read, const Node&>::value_type>> {
  using Element = typename std::invoke_result_t<Read, const Node&>::value_type;
  auto elements = read_array(node, max_elements);
  if (!elements) return std::unexpected(elements.error());
  std::vector<Element> values;
  values.reserve(elements->size());
  for (const Node& element : *elements) {
    auto value = read(element);
    if (!value) return std::unexpected(value.error());
    values.push_back(std::move(*value));
  }
  return values;
}

template <std::unsigned_integral T>
FileResult<std::vector<T>> read_unsigned_list(const Node& node, std::size_t max_elements = kUnlimited) {
  return read_list(node, [](const Node& element) { return read_unsigned<T>(element); }, max_elements);
}

/// An ordered map written as [[key, value], ...] with strictly ascending unsigned keys.
template <std::unsigned_integral Key, typename ReadValue>
auto read_ordered_map(const Node& node, ReadValue read_value)
    -> FileResult<std::map<Key, typename std::invoke_result_t<ReadValue, const Node&>::value_type>> {
  using Value = typename std::invoke_result_t<ReadValue, const Node&>::value_type;
  auto entries = read_array(node);
  if (!entries) return std::unexpected(entries.error());
  std::map<Key, Value> map;
  for (const Node& entry : *entries) {
    auto pair = read_array(entry, 2);
    if (!pair) return std::unexpected(pair.error());
    if (pair->size() != 2) return std::unexpected(error_at(entry, "expected a [key, value] pair"));
    auto key = read_unsigned<Key>((*pair)[0]);
    if (!key) return std::unexpected(key.error());
    if (!map.empty() && *key <= map.rbegin()->first) {
      return std::unexpected(error_at((*pair)[0], "keys must be strictly ascending"));
    }
    auto value = read_value((*pair)[1]);
    if (!value) return std::unexpected(value.error());
    map.emplace_hint(map.end(), *key, std::move(*value));
  }
  return map;
}

/// An object checked against the members its record has.
class Object {
 public:
  Object() = default;
  explicit Object(Node node) : node_(std::move(node)) {}

  const Node& node() const { return node_; }
  bool has(std::string_view name) const;
  /// The member; a missing member is an error.
  FileResult<Node> member(std::string_view name) const;

  template <std::unsigned_integral T>
  FileResult<T> unsigned_member(std::string_view name) const {
    auto member_node = member(name);
    if (!member_node) return std::unexpected(member_node.error());
    return read_unsigned<T>(*member_node);
  }
  FileResult<std::string> string_member(std::string_view name) const;
  FileResult<float> float_member(std::string_view name) const;

 private:
  Node node_;
};

/// An object that holds exactly the given members (every one of them, and no other).
FileResult<Object> read_object(const Node& node, std::initializer_list<std::string_view> members);
/// An object whose members are all among `allowed`; presence is checked member by member.
FileResult<Object> read_object_allowing(const Node& node, std::initializer_list<std::string_view> allowed);

/// One case of a variant: its name, and whether it carries a payload object.
struct VariantCase {
  std::string_view name;
  bool has_payload = false;
};

/// A variant value: the index of its case in `cases`, and its payload. For a case without payload,
/// `payload` is the variant's own node (the name string), which no object read accepts.
struct VariantValue {
  std::size_t index = 0;
  Node payload;
};

/// Reads "Name" (a case without payload) or {"Name": payload} (a case with one). `what` names the
/// variant type in messages ("operation kind").
FileResult<VariantValue> read_variant(const Node& node, std::string_view what, std::span<const VariantCase> cases);

}  // namespace zarn_files
