#include "zarn_compiler/error.h"

#include <gtest/gtest.h>

namespace zarn_compiler {
namespace {

TEST(CompileError, KindMessageAndTextForm) {
  const auto graph = graph_error("invalid tensor w1").error();
  const auto memory = memory_error("address overflow").error();
  const auto exchange = exchange_error({zarn_exchange::ExchangeError::Count{4149}}).error();
  EXPECT_EQ(kind_name(graph), "Graph");
  EXPECT_EQ(kind_name(memory), "Memory");
  EXPECT_EQ(kind_name(exchange), "Exchange");
  EXPECT_EQ(message(exchange), "Count(4149)");
  EXPECT_EQ(to_string(graph), "Graph: invalid tensor w1");
  EXPECT_EQ(to_string(exchange), "Exchange: Count(4149)");
  EXPECT_NE(graph, CompileError{CompileError::Memory{"invalid tensor w1"}});
  EXPECT_EQ(graph, CompileError{CompileError::Graph{"invalid tensor w1"}});
}

}  // namespace
}  // namespace zarn_compiler
