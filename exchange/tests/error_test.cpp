#include "zarn_exchange/error.h"

#include <gtest/gtest.h>

namespace zarn_exchange {
namespace {

TEST(ExchangeError, DiagnosticTextForm) {
  struct Case {
    ExchangeError error;
    std::string_view text;
  };
  const Case cases[] = {
      {{ExchangeError::Tile{1472}}, "Tile(1472)"},
      {{ExchangeError::DuplicateTile{}}, "DuplicateTile"},
      {{ExchangeError::Count{4149}}, "Count(4149)"},
      {{ExchangeError::ReceiverSet{}}, "ReceiverSet"},
      {{ExchangeError::Schedule{"multicast start cycle"}}, "Schedule(\"multicast start cycle\")"},
      {{ExchangeError::Schedule{"a \"q\" \\"}}, "Schedule(\"a \\\"q\\\" \\\\\")"},
      {{ExchangeError::Address{327681}}, "Address(327681)"},
      {{ExchangeError::HostPacket{}}, "HostPacket"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(to_string(c.error), c.text);
  }
}

TEST(ExchangeError, EqualityComparesCaseAndPayload) {
  EXPECT_EQ(ExchangeError{ExchangeError::Count{1}}, ExchangeError{ExchangeError::Count{1}});
  EXPECT_NE(ExchangeError{ExchangeError::Count{1}}, ExchangeError{ExchangeError::Count{2}});
  EXPECT_NE(ExchangeError{ExchangeError::Count{1}}, ExchangeError{ExchangeError::Address{1}});
  EXPECT_EQ(ExchangeError{ExchangeError::Schedule{"x"}}, ExchangeError{ExchangeError::Schedule{std::string("x")}});
}

}  // namespace
}  // namespace zarn_exchange
