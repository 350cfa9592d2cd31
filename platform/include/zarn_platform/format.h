#pragma once
/// Message formatting for the zarn libraries: "{}" placeholders filled in order.
///
/// The toolchain has no <format>; every error message and log text is built with `format`, so the
/// texts look the same everywhere.

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace zarn_platform {

/// Writes an unsigned value as lowercase hexadecimal digits without prefix (0x8e000 -> "8e000").
struct Hex {
  std::uint64_t value;
};

/// Writes a list of values as "[a, b, c]".
template <typename T>
struct ListOf {
  const std::vector<T>& values;
};

template <typename T>
ListOf(const std::vector<T>&) -> ListOf<T>;

std::ostream& operator<<(std::ostream& out, Hex hex);

template <typename T>
std::ostream& operator<<(std::ostream& out, const ListOf<T>& list) {
  out << '[';
  for (std::size_t index = 0; index < list.values.size(); ++index) {
    if (index != 0) out << ", ";
    out << list.values[index];
  }
  return out << ']';
}

namespace detail {
/// Position of the next "{}" in `pattern`, or npos.
std::size_t next_placeholder(std::string_view pattern);

template <typename T>
void append_value(std::string& out, const T& value) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    out += std::string_view(value);
  } else if constexpr (std::is_same_v<T, char>) {
    out += value;
  } else if constexpr (std::is_integral_v<T> && sizeof(T) == 1) {
    out += std::to_string(static_cast<unsigned>(value));
  } else {
    std::ostringstream stream;
    stream << value;
    out += stream.str();
  }
}
template <typename T>
std::string_view fill_next(std::string& out, std::string_view pattern, const T& value) {
  const auto position = next_placeholder(pattern);
  if (position == std::string_view::npos) return pattern;
  out += pattern.substr(0, position);
  append_value(out, value);
  return pattern.substr(position + 2);
}
}  // namespace detail

/// Replaces each "{}" of `pattern`, left to right, with the next argument. Surplus placeholders stay
/// as written; surplus arguments are dropped. 8-bit integers print as numbers, not characters.
template <typename... Args>
std::string format(std::string_view pattern, const Args&... args) {
  std::string out;
  out.reserve(pattern.size() + 16 * sizeof...(Args));
  ((pattern = detail::fill_next(out, pattern, args)), ...);
  out += pattern;
  return out;
}

}  // namespace zarn_platform
