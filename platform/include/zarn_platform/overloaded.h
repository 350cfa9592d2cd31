#pragma once
/// `std::visit(overloaded{[](const A&) {...}, [](const B&) {...}}, variant)`.

namespace zarn_platform {

template <class... Ts>
struct overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace zarn_platform
