#include "zarn_compiler/error.h"

#include <ostream>

#include "zarn_platform/overloaded.h"

namespace zarn_compiler {

using zarn_platform::overloaded;

std::string_view kind_name(const CompileError& error) {
  return std::visit(overloaded{
                        [](const CompileError::Graph&) { return std::string_view("Graph"); },
                        [](const CompileError::Memory&) { return std::string_view("Memory"); },
                        [](const CompileError::Exchange&) { return std::string_view("Exchange"); },
                    },
                    error.value);
}

std::string message(const CompileError& error) {
  return std::visit(overloaded{
                        [](const CompileError::Graph& e) { return e.message; },
                        [](const CompileError::Memory& e) { return e.message; },
                        [](const CompileError::Exchange& e) { return zarn_exchange::to_string(e.error); },
                    },
                    error.value);
}

std::string to_string(const CompileError& error) {
  std::string text(kind_name(error));
  text += ": ";
  text += message(error);
  return text;
}

std::ostream& operator<<(std::ostream& out, const CompileError& error) { return out << to_string(error); }

std::unexpected<CompileError> graph_error(std::string message) {
  return std::unexpected(CompileError{CompileError::Graph{std::move(message)}});
}

std::unexpected<CompileError> memory_error(std::string message) {
  return std::unexpected(CompileError{CompileError::Memory{std::move(message)}});
}

std::unexpected<CompileError> exchange_error(zarn_exchange::ExchangeError error) {
  return std::unexpected(CompileError{CompileError::Exchange{error}});
}

}  // namespace zarn_compiler
