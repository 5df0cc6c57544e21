#include "sfv/sfv_format.h"

#include <gtest/gtest.h>

namespace {

TEST(SplitDataLine, ClassifiesEachLineByTheFirstRuleThatApplies) {
  struct Case {
    std::string_view line;
    bool data;
    std::string_view name;
    std::string_view crc_field;
  } cases[] = {
      {"", false, "", ""},
      {"; comment with spaces 1234abcd", false, "", ""},
      {";", false, "", ""},
      {" ;not a comment 1234abcd", true, " ;not a comment", "1234abcd"},
      {"file.bin 1234abcd", true, "file.bin", "1234abcd"},
      {"a b.txt 0000abcd", true, "a b.txt", "0000abcd"},
      {"file.bin\t1234abcd", false, "", ""},  // a tab does not separate
      {" file.bin", false, "", ""},           // the only space is the first character
      {"nospace", false, "", ""},
      {"file.bin 1234abcd ", true, "file.bin 1234abcd", ""},  // space after the CRC
      {"file.bin  1234abcd", true, "file.bin ", "1234abcd"},  // two spaces: name ends in one
      {"  ", true, " ", ""},
      {"\xEF\xBB\xBF" "bom.bin 1", true, "\xEF\xBB\xBF" "bom.bin", "1"},  // a BOM is just bytes
      {"file.bin 1234\r", true, "file.bin", "1234\r"},  // a lone CR stays in the line
  };
  for (const Case& c : cases) {
    const std::optional<DataLine> data = split_data_line(c.line);
    ASSERT_EQ(c.data, data.has_value()) << '"' << c.line << '"';
    if (data) {
      EXPECT_EQ(c.name, data->name) << '"' << c.line << '"';
      EXPECT_EQ(c.crc_field, data->crc_field) << '"' << c.line << '"';
    }
  }
}

TEST(ParseCrcField, ReadsHexWithTheStreamRules) {
  struct Case {
    std::string_view field;
    std::optional<std::uint32_t> value;
  } cases[] = {
      {"1234abcd", 0x1234ABCD},
      {"1234ABCD", 0x1234ABCD},
      {"0x1234abcd", 0x1234ABCD},
      {"0X1234abcd", 0x1234ABCD},
      {"00001234abcd", 0x1234ABCD},
      {"1234abcdzz", 0x1234ABCD},
      {"1234\r", 0x1234},
      {"\t\v\f\r\n1234abcd", 0x1234ABCD},
      {"0", 0},
      {"00000000", 0},
      {"ffffffff", 0xFFFFFFFF},
      {"-1", 0xFFFFFFFF},
      {"+1a", 0x1A},
      {"-0", 0},
      {"-0x10", 0xFFFFFFF0},
      {"0000000000000000cbf43926", 0xCBF43926},
      {"123456789", std::nullopt},  // nine significant digits do not fit
      {"100000000", std::nullopt},
      {"xyz", std::nullopt},
      {"0x", std::nullopt},
      {"0xg", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"+-1", std::nullopt},
      {"--1", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<std::uint32_t> value = parse_crc_field(c.field);
    EXPECT_EQ(c.value.has_value(), value.has_value()) << '"' << c.field << '"';
    if (c.value && value) {
      EXPECT_EQ(*c.value, *value) << '"' << c.field << '"';
    }
  }
}

}  // namespace
