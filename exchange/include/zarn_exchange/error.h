#pragma once
/// The error type of the exchange library.

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>
#include <variant>

namespace zarn_exchange {

/// Why an exchange operation failed. Plain value; `to_string` gives its diagnostic text form.
struct ExchangeError {
  /// A logical tile that the board does not have.
  struct Tile {
    std::uint16_t tile;
    friend bool operator==(const Tile&, const Tile&) = default;
  };
  struct DuplicateTile {
    friend bool operator==(const DuplicateTile&, const DuplicateTile&) = default;
  };
  /// A multicast word count outside 1..4148.
  struct Count {
    std::uint32_t count;
    friend bool operator==(const Count&, const Count&) = default;
  };
  /// A receiver set that is empty, names the sender or repeats a tile.
  struct ReceiverSet {
    friend bool operator==(const ReceiverSet&, const ReceiverSet&) = default;
  };
  /// A timing or encoding rule was broken; `message` is one of the library's fixed texts.
  struct Schedule {
    std::string_view message;
    friend bool operator==(const Schedule&, const Schedule&) = default;
  };
  /// An SRAM byte address that cannot be encoded into the row.
  struct Address {
    std::uint32_t address;
    friend bool operator==(const Address&, const Address&) = default;
  };
  struct HostPacket {
    friend bool operator==(const HostPacket&, const HostPacket&) = default;
  };

  std::variant<Tile, DuplicateTile, Count, ReceiverSet, Schedule, Address, HostPacket> value;

  friend bool operator==(const ExchangeError&, const ExchangeError&) = default;
};

/// Result of a fallible exchange-library call.
template <typename T>
using ExchangeResult = std::expected<T, ExchangeError>;

/// The case name, then the payload in parentheses: `Address(327681)`, `ReceiverSet`,
/// `Schedule("multicast start cycle")` (text payloads quoted with backslash escapes).
std::string to_string(const ExchangeError& error);

/// Writes `to_string(error)`; also what test frameworks print for a failed comparison.
std::ostream& operator<<(std::ostream& out, const ExchangeError& error);

/// The case name alone ("Address", "ReceiverSet", ...).
std::string_view case_name(const ExchangeError& error);

/// Shorthand for returning a failure: `return exchange_failure(ExchangeError::Count{count});`.
template <typename Case>
std::unexpected<ExchangeError> exchange_failure(Case error_case) {
  return std::unexpected(ExchangeError{error_case});
}

}  // namespace zarn_exchange
