// Parsing with limits and strict typed reading: every error names the file and the JSON path (or
// the line and column for syntax errors).

#include "zarn_files/json_read.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "zarn_files/json_document.h"

namespace zarn_files {
namespace {

std::string parse_error(std::string_view text) {
  auto parsed = parse_json(text, "in.json");
  return parsed ? std::string("parsed") : parsed.error().message;
}

TEST(ParseJson, SyntaxErrorsNameLineAndColumn) {
  struct Case {
    std::string_view text;
    std::string_view message_start;
  };
  const Case cases[] = {
      {"", "in.json:1:1: syntax error"},
      {"{\"a\": 1,\n  \"b\": tru}", "in.json:2:11: syntax error"},
      {"[1, 2,]", "in.json:1:7: syntax error"},
      {"[1]\n[2]", "in.json:2:1: syntax error"},
      {"{\"a\": 1e400}", "in.json:1:11: number overflow"},
      {"\"\xff\"", "in.json:1:2: syntax error"},
      {"[1] // note", "in.json:1:5: syntax error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_TRUE(parse_error(c.text).starts_with(c.message_start)) << parse_error(c.text);
  }
}

TEST(ParseJson, RefusesWhatTheLimitsExclude) {
  const std::string deep_ok = std::string(kMaxNestingDepth, '[') + std::string(kMaxNestingDepth, ']');
  EXPECT_EQ(parse_error(deep_ok), "parsed");

  const std::string too_deep = "{\"a\":\n" + std::string(kMaxNestingDepth, '[') + std::string(kMaxNestingDepth, ']') + "}";
  EXPECT_EQ(parse_error(too_deep), "in.json:2:64: nesting deeper than 64 levels");
  // A bracket inside a string does not nest.
  EXPECT_EQ(parse_error("[\"" + std::string(100, '[') + "\"]"), "parsed");

  EXPECT_EQ(parse_error("{\"tensors\": [{\"id\": 0, \"id\": 1}]}"), "in.json: $.tensors[0]: duplicate member \"id\"");

  std::string wide = "{";
  for (std::size_t index = 0; index <= kMaxObjectMembers; ++index) {
    wide += (index == 0 ? "\"m" : ",\"m") + std::to_string(index) + "\": 0";
  }
  wide += "}";
  EXPECT_EQ(parse_error(wide), "in.json: $: object has more than 64 members");

  EXPECT_EQ(parse_error(std::string(kMaxDocumentBytes + 1, ' ')), "in.json: document is larger than 67108864 bytes");
}

TEST(ParseJson, FloatLiteralsReadAsTheNearestSingle) {
  // 1.00000005960464477539062500001 lies just above the midpoint between 1 and the next float; the
  // nearest double is the midpoint itself, which would round to 1.
  auto parsed = parse_json("[1.00000005960464477539062500001, 1e-05]", "in.json");
  ASSERT_TRUE(parsed);
  auto first = read_float(root_node(*parsed, "in.json").element(0));
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, std::nextafter(1.0f, 2.0f));
  auto second = read_float(root_node(*parsed, "in.json").element(1));
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, 1e-5f);
}

TEST(ReadUnsigned, ChecksEveryFieldWidth) {
  struct Case {
    std::string_view value;
    unsigned bits;
    std::string_view expected;  // the number read, or the error message
  };
  const Case cases[] = {
      {"65535", 16, "65535"},
      {"65536", 16, "in.json: $[0]: expected an unsigned 16-bit integer, found the number 65536 (larger than 65535)"},
      {"-1", 32, "in.json: $[0]: expected an unsigned 32-bit integer, found the negative number -1"},
      {"-0", 32, "0"},
      {"1.5", 64, "in.json: $[0]: expected an unsigned 64-bit integer, found the number 1.5 (not a whole number)"},
      {"18446744073709551615", 64, "18446744073709551615"},
      {"18446744073709551616", 64,
       "in.json: $[0]: expected an unsigned 64-bit integer, found the number 18446744073709551616 (beyond 64 bits)"},
      {"1e3", 64,
       "in.json: $[0]: expected an unsigned 64-bit integer, found the number 1000 (write integers without a fraction "
       "or exponent)"},
      {"\"7\"", 8, "in.json: $[0]: expected an unsigned 8-bit integer, found a string"},
      {"null", 8, "in.json: $[0]: expected an unsigned 8-bit integer, found null"},
      {"256", 8, "in.json: $[0]: expected an unsigned 8-bit integer, found the number 256 (larger than 255)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    auto parsed = parse_json("[" + std::string(c.value) + "]", "in.json");
    ASSERT_TRUE(parsed);
    auto value = read_unsigned_bits(root_node(*parsed, "in.json").element(0), c.bits);
    EXPECT_EQ(value ? std::to_string(*value) : value.error().message, c.expected);
  }
}

TEST(ReadObject, NamesMissingAndUnknownMembers) {
  auto parsed = parse_json(R"({"layouts": [{"tensor": 0, "tile": [0]}], "odd key": {}})", "s.json");
  ASSERT_TRUE(parsed);
  const Node root = root_node(*parsed, "s.json");
  const Node layout = root.member("layouts").element(0);

  auto unknown = read_object(layout, {"tensor", "tiles"});
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().message, "s.json: $.layouts[0]: unknown member \"tile\" (expected \"tensor\", \"tiles\")");

  auto missing = read_object(layout, {"tensor", "tile", "alignment"});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "s.json: $.layouts[0]: missing member \"alignment\"");

  auto odd = read_array(root.member("odd key"));
  ASSERT_FALSE(odd);
  EXPECT_EQ(odd.error().message, "s.json: $[\"odd key\"]: expected an array, found an object");
}

TEST(ReadVariant, AcceptsNamesAndOneMemberObjects) {
  const VariantCase cases[] = {{"Home"}, {"ExchangeStaging", true}};
  struct Case {
    std::string_view value;
    std::string_view expected;  // the case index read, or the error message
  };
  const Case table[] = {
      {R"("Home")", "0"},
      {R"({"ExchangeStaging": {"phase": 7}})", "1"},
      {R"("Hme")", R"(f: $[0]: unknown allocation kind "Hme" (expected one of "Home", "ExchangeStaging"))"},
      {R"("ExchangeStaging")",
       R"(f: $[0]: allocation kind "ExchangeStaging" carries fields; write it as {"ExchangeStaging": {...}})"},
      {R"({"Home": {}})", R"(f: $[0]: allocation kind "Home" has no fields; write it as the string "Home")"},
      {R"({"Home": 1, "ExchangeStaging": 2})",
       "f: $[0]: expected an allocation kind (a name, or an object with the name as its one member), found an object "
       "with 2 members"},
      {"3", "f: $[0]: expected an allocation kind (a name, or an object with the name as its one member), found the "
            "number 3"},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.value);
    auto parsed = parse_json("[" + std::string(c.value) + "]", "f");
    ASSERT_TRUE(parsed);
    auto value = read_variant(root_node(*parsed, "f").element(0), "allocation kind", cases);
    EXPECT_EQ(value ? std::to_string(value->index) : value.error().message, c.expected);
  }
}

TEST(ReadOrderedMap, RequiresStrictlyAscendingPairs) {
  const auto read = [](std::string_view text) -> std::string {
    auto parsed = parse_json(text, "f");
    if (!parsed) return parsed.error().message;
    auto map = read_ordered_map<std::uint16_t>(root_node(*parsed, "f"),
                                               [](const Node& node) { return read_unsigned<std::uint32_t>(node); });
    if (!map) return map.error().message;
    std::string text_form;
    for (const auto& [key, value] : *map) text_form += std::to_string(key) + "=" + std::to_string(value) + " ";
    return text_form;
  };
  EXPECT_EQ(read("[[0, 33792], [3, 5]]"), "0=33792 3=5 ");
  EXPECT_EQ(read("[[3, 1], [3, 2]]"), "f: $[1][0]: keys must be strictly ascending");
  EXPECT_EQ(read("[[3, 1], [2, 2]]"), "f: $[1][0]: keys must be strictly ascending");
  EXPECT_EQ(read("[[3, 1, 4]]"), "f: $[0]: has 3 elements; at most 2 are accepted");
  EXPECT_EQ(read("[[3]]"), "f: $[0]: expected a [key, value] pair");
}

}  // namespace
}  // namespace zarn_files
