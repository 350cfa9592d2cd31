// Writing documents: shortest floats that read back bit for bit, and the layout of the files.

#include "zarn_files/json_write.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "zarn_files/json_read.h"

namespace zarn_files {
namespace {

TEST(FloatText, IsTheShortestTextOfTheValue) {
  struct Case {
    float value;
    std::string_view text;
  };
  const Case cases[] = {
      {1e-5f, "1e-05"},
      {0.1f, "0.1"},
      {17.354069f, "17.354069"},
      {100.0f, "100.0"},
      {-3.0f, "-3.0"},
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {std::numeric_limits<float>::max(), "3.4028235e+38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {std::numeric_limits<float>::infinity(), "inf"},
      {std::numeric_limits<float>::quiet_NaN(), "nan"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(float_text(c.value), c.text);
  }
}

TEST(FloatText, ReadsBackAsTheSameFloatThroughAFile) {
  // Bit patterns spread over the whole finite range, every sign, plus the awkward edges.
  std::vector<float> values = {std::numeric_limits<float>::min(), std::numeric_limits<float>::denorm_min(),
                               std::numeric_limits<float>::max(), -0.0f, 16777217.0f, 0.3f};
  std::uint32_t state = 0x12345678;
  for (int index = 0; index < 20000; ++index) {
    state = state * 1664525u + 1013904223u;
    const float value = std::bit_cast<float>(state);
    if (std::isfinite(value)) values.push_back(value);
  }
  Json list = Json::array();
  for (const float value : values) list.push_back(float_json(value));
  auto parsed = parse_json(write_json(list), "floats.json");
  ASSERT_TRUE(parsed);
  auto read = read_list(root_node(*parsed, "floats.json"), read_float);
  ASSERT_TRUE(read) << read.error().message;
  ASSERT_EQ(read->size(), values.size());
  for (std::size_t index = 0; index < values.size(); ++index) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>((*read)[index]), std::bit_cast<std::uint32_t>(values[index]))
        << float_text(values[index]);
  }
}

TEST(WriteJson, KeepsShallowContainersOnOneLine) {
  const Json document = Json{
      {"layouts", Json::array({Json{{"tensor", 0}, {"tiles", Json::array({0, 1})}, {"sharding", "Rows"}}})},
      {"empty", Json::array()},
      {"epsilon", float_json(1e-5f)},
      {"name", "a \"quoted\"\nname\x01"},
  };
  EXPECT_EQ(write_json(document),
            "{\n"
            "  \"layouts\": [\n"
            "    {\"tensor\": 0, \"tiles\": [0, 1], \"sharding\": \"Rows\"}\n"
            "  ],\n"
            "  \"empty\": [],\n"
            "  \"epsilon\": 1e-05,\n"
            "  \"name\": \"a \\\"quoted\\\"\\nname\\u0001\"\n"
            "}\n");
}

TEST(WriteJson, WrapsLongListsAndDeepNesting) {
  Json numbers = Json::array();
  for (int value = 0; value < 40; ++value) numbers.push_back(1000 + value);
  const std::string text = write_json(Json{{"words", numbers}, {"deep", Json::array({Json::array({Json::array({1})})})}});
  EXPECT_EQ(text,
            "{\n"
            "  \"words\": [\n"
            "    1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 1015,\n"
            "    1016, 1017, 1018, 1019, 1020, 1021, 1022, 1023, 1024, 1025, 1026, 1027, 1028, 1029, 1030, 1031,\n"
            "    1032, 1033, 1034, 1035, 1036, 1037, 1038, 1039\n"
            "  ],\n"
            "  \"deep\": [\n"
            "    [[1]]\n"
            "  ]\n"
            "}\n");
  auto parsed = parse_json(text, "t");
  ASSERT_TRUE(parsed);
  EXPECT_EQ((*parsed)["words"], numbers);
}

TEST(WriteJson, ReplacesBytesThatAreNotUtf8) {
  EXPECT_EQ(write_json(Json("caf\xc3\xa9 \xff\xc3")), "\"caf\xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd\"\n");
  EXPECT_EQ(write_json(Json(std::nan(""))), "null\n");
}

}  // namespace
}  // namespace zarn_files
