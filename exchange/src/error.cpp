#include "zarn_exchange/error.h"

#include <ostream>

#include "zarn_platform/format.h"
#include "zarn_platform/overloaded.h"

namespace zarn_exchange {
namespace {

using zarn_platform::overloaded;

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

std::string_view case_name(const ExchangeError& error) {
  return std::visit(overloaded{
                        [](const ExchangeError::Tile&) { return std::string_view("Tile"); },
                        [](const ExchangeError::DuplicateTile&) { return std::string_view("DuplicateTile"); },
                        [](const ExchangeError::Count&) { return std::string_view("Count"); },
                        [](const ExchangeError::ReceiverSet&) { return std::string_view("ReceiverSet"); },
                        [](const ExchangeError::Schedule&) { return std::string_view("Schedule"); },
                        [](const ExchangeError::Address&) { return std::string_view("Address"); },
                        [](const ExchangeError::HostPacket&) { return std::string_view("HostPacket"); },
                    },
                    error.value);
}

std::string to_string(const ExchangeError& error) {
  using zarn_platform::format;
  const auto name = case_name(error);
  return std::visit(overloaded{
                        [&](const ExchangeError::Tile& e) { return format("{}({})", name, e.tile); },
                        [&](const ExchangeError::Count& e) { return format("{}({})", name, e.count); },
                        [&](const ExchangeError::Schedule& e) { return format("{}({})", name, quoted(e.message)); },
                        [&](const ExchangeError::Address& e) { return format("{}({})", name, e.address); },
                        [&](const auto&) { return std::string(name); },
                    },
                    error.value);
}

std::ostream& operator<<(std::ostream& out, const ExchangeError& error) { return out << to_string(error); }

}  // namespace zarn_exchange
