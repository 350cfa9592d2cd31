#pragma once
/// The one error type of the compiler library.

#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>
#include <variant>

#include "zarn_exchange/error.h"

namespace zarn_compiler {

/// Why a compiler call failed: the first failure, with no partial result beside it.
struct CompileError {
  /// About graphs, options, transfers and schedule structure.
  struct Graph {
    std::string message;
    friend bool operator==(const Graph&, const Graph&) = default;
  };
  /// About SRAM placement and missing copies.
  struct Memory {
    std::string message;
    friend bool operator==(const Memory&, const Memory&) = default;
  };
  /// An exchange-library error, wrapped unchanged.
  struct Exchange {
    zarn_exchange::ExchangeError error;
    friend bool operator==(const Exchange&, const Exchange&) = default;
  };

  std::variant<Graph, Memory, Exchange> value;

  friend bool operator==(const CompileError&, const CompileError&) = default;
};

/// Result of a fallible compiler call.
template <typename T>
using CompileResult = std::expected<T, CompileError>;

/// "Graph", "Memory" or "Exchange".
std::string_view kind_name(const CompileError& error);

/// The message text; for `Exchange`, the exchange error's diagnostic text (`Count(4149)`).
std::string message(const CompileError& error);

/// "Graph: invalid tensor w1", "Exchange: Address(327681)".
std::string to_string(const CompileError& error);

/// Writes `to_string(error)`; also what test frameworks print for a failed comparison.
std::ostream& operator<<(std::ostream& out, const CompileError& error);

/// Shorthands for returning failures.
std::unexpected<CompileError> graph_error(std::string message);
std::unexpected<CompileError> memory_error(std::string message);
std::unexpected<CompileError> exchange_error(zarn_exchange::ExchangeError error);

}  // namespace zarn_compiler
