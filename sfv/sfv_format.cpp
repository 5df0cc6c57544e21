#include "sfv/sfv_format.h"

namespace {

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_skipped_space(char c) {
  return c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::optional<DataLine> split_data_line(std::string_view line) {
  if (line.empty() || line.front() == ';') return std::nullopt;
  const std::size_t last_space = line.rfind(' ');
  if (last_space == std::string_view::npos || last_space == 0) return std::nullopt;
  return DataLine{line.substr(0, last_space), line.substr(last_space + 1)};
}

std::optional<std::uint32_t> parse_crc_field(std::string_view field) {
  std::size_t pos = 0;
  while (pos < field.size() && is_skipped_space(field[pos])) ++pos;

  bool negative = false;
  if (pos < field.size() && (field[pos] == '+' || field[pos] == '-')) {
    negative = field[pos] == '-';
    ++pos;
  }
  // The prefix is taken whenever it is there, so "0x" with no digit after it has no digit.
  if (pos + 1 < field.size() && field[pos] == '0' && (field[pos + 1] == 'x' || field[pos + 1] == 'X')) {
    pos += 2;
  }

  std::uint32_t value = 0;
  int digits = 0;
  int significant = 0;
  for (; pos < field.size(); ++pos) {
    const int digit = hex_digit_value(field[pos]);
    if (digit < 0) break;
    ++digits;
    if (significant > 0 || digit != 0) {
      if (++significant > 8) return std::nullopt;
      value = value << 4 | static_cast<std::uint32_t>(digit);
    }
  }
  if (digits == 0) return std::nullopt;
  return negative ? 0u - value : value;
}
