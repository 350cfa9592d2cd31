#include "zarn_platform/format.h"

#include <iomanip>

namespace zarn_platform {

std::ostream& operator<<(std::ostream& out, Hex hex) {
  const auto flags = out.flags();
  out << std::hex << std::nouppercase << hex.value;
  out.flags(flags);
  return out;
}

namespace detail {

std::size_t next_placeholder(std::string_view pattern) { return pattern.find("{}"); }

}  // namespace detail
}  // namespace zarn_platform
