#include "sfv/sfv_format.h"

#include "core/names/unicode_text.h"

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

namespace {

// The text-mode rules on a list of characters whose values `unit(i)` gives, `count` of
// them: each is handed to `take`, but a CR just before an LF, and everything from a 0x1A on.
template <class Unit, class Take>
void text_mode(std::size_t count, Unit unit, Take take) {
  for (std::size_t i = 0; i < count; ++i) {
    const char32_t c = unit(i);
    if (c == 0x1A) return;
    if (c == '\r' && i + 1 < count && unit(i + 1) == '\n') continue;
    take(c);
  }
}

}  // namespace

ListText list_text(std::string_view bytes) {
  ListText list;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    list.mark = ListMark::Utf8;
    bytes.remove_prefix(3);
  }
  const bool little = bytes.starts_with("\xFF\xFE");
  if (list.mark == ListMark::None && (little || bytes.starts_with("\xFE\xFF"))) {
    list.mark = ListMark::Utf16;
    const std::string_view units = bytes.substr(2);
    const auto unit = [units, little](std::size_t i) {
      const auto first = static_cast<unsigned char>(units[2 * i]);
      const auto second = static_cast<unsigned char>(units[2 * i + 1]);
      return static_cast<char32_t>(little ? second << 8 | first : first << 8 | second);
    };
    list.text.reserve(units.size());
    char32_t high = 0;  // a high surrogate waiting for its low one
    text_mode(units.size() / 2, unit, [&](char32_t c) {
      if (high != 0 && c >= 0xDC00 && c <= 0xDFFF) {
        append_utf8(list.text, 0x10000 + ((high - 0xD800) << 10) + (c - 0xDC00));
        high = 0;
        return;
      }
      if (high != 0) append_utf8(list.text, high);
      high = 0;
      if (c >= 0xD800 && c <= 0xDBFF) {
        high = c;
      } else {
        append_utf8(list.text, c);
      }
    });
    if (high != 0) append_utf8(list.text, high);
    return list;
  }
  list.text.reserve(bytes.size());
  const auto byte = [bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  text_mode(bytes.size(), byte, [&list](char32_t c) { list.text += static_cast<char>(c); });
  return list;
}
