// The list reader's line rules and CRC field, and the writer's lines, against a second
// reading of the format written plainly from its rules.
//
// Any bytes, as an SFV file, must give the same entries (name and CRC, or no valid CRC), or
// fail on the same name, through list_text, split_data_line, first_invalid_element and
// parse_crc_field, fed line by line as load_sfv feeds them, as through the plain reading.
// Without a mark, and behind the UTF-8 mark, bytes are taken as characters, as a
// single-byte code page such as 1252 takes them; behind a UTF-16 mark the plain reading
// pairs the units into characters first and gives the text-mode rules the characters. Each
// name's UTF-8 test (is_utf8, which decides whether a name has a second reading) must agree
// with a plain decoding. And the same bytes, taken as the names of files, must come back
// with their CRCs from the list that sfv_data_line writes for them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "core/names/name_check.h"
#include "core/names/unicode_text.h"
#include "sfv/sfv_format.h"
#include "sfv/sfv_writer.h"

namespace {

struct Entry {
  std::string name;
  std::optional<std::uint32_t> crc;
  bool operator==(const Entry&) const = default;
};

// What a list reads to: its entries, or, when a name fails the name check, that element
// and name alone, since the load then fails whole.
struct Reading {
  std::vector<Entry> entries;
  std::string failing;  // "ELEMENT" in "NAME"; empty when every name passed
  bool operator==(const Reading&) const = default;
};

void fail_on(Reading& reading, std::string_view element, std::string_view name) {
  reading.entries.clear();
  reading.failing = "\"" + std::string(element) + "\" in \"" + std::string(name) + "\"";
}

// --- The plain reading ------------------------------------------------------------------

// The CRC field: blanks, a sign, a prefix, then hex digits; at least one digit and at most
// eight once leading zeros are dropped; a minus sign negates modulo 2^32.
std::optional<std::uint32_t> plain_crc(std::string_view field) {
  std::size_t i = 0;
  while (i < field.size() && std::string_view("\t\n\v\f\r").find(field[i]) != std::string_view::npos) ++i;
  bool minus = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) minus = field[i++] == '-';
  if (field.substr(i, 2) == "0x" || field.substr(i, 2) == "0X") i += 2;
  std::string digits;
  while (i < field.size() && std::string_view("0123456789abcdefABCDEF").find(field[i]) != std::string_view::npos) {
    digits += field[i++];
  }
  if (digits.empty()) return std::nullopt;
  const std::size_t first = digits.find_first_not_of('0');
  const std::string significant = first == std::string::npos ? "" : digits.substr(first);
  if (significant.size() > 8) return std::nullopt;
  const std::uint32_t value = significant.empty() ? 0 : static_cast<std::uint32_t>(std::stoul(significant, nullptr, 16));
  return minus ? static_cast<std::uint32_t>(0 - value) : value;
}

// Whether `name` passes the name check as one element: no code 0-31, none of <>:"/\|, and
// no space or dot at its end unless it is "." or "..".
bool plain_valid_leaf(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 32 || std::string_view("<>:\"/\\|").find(c) != std::string_view::npos) return false;
  }
  if (name.back() == ' ') return false;
  return name.back() != '.' || name == "." || name == "..";
}

bool plain_separator(char c) { return c == '/' || c == '\\'; }

// The name check of a whole name: each element between separators ('/' or '\') must pass
// plain_valid_leaf; a drive ("C:") or share ("\\server") at its start is no element, and a
// separator beside another or at an end makes no element. Returns the first that fails.
std::optional<std::string> plain_failing_element(const std::string& name) {
  std::size_t i = 0;
  const bool letter = name.size() >= 2 && ((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z'));
  if (letter && name[1] == ':') {
    i = 2;
  } else if (name.size() >= 3 && plain_separator(name[0]) && plain_separator(name[1]) && !plain_separator(name[2])) {
    for (i = 2; i < name.size() && !plain_separator(name[i]);) ++i;
  }
  std::string element;
  for (; i <= name.size(); ++i) {
    if (i < name.size() && !plain_separator(name[i])) {
      element += name[i];
      continue;
    }
    if (!element.empty() && !plain_valid_leaf(element)) return element;
    element.clear();
  }
  return std::nullopt;
}

// One line by the four rules: empty, comment, no space past the first character, data.
void plain_line(const std::string& line, Reading& reading) {
  if (!reading.failing.empty() || line.empty() || line[0] == ';') return;
  std::size_t last_space = std::string::npos;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == ' ') last_space = i;
  }
  if (last_space == std::string::npos || last_space == 0) return;
  const std::string name = line.substr(0, last_space);
  if (const std::optional<std::string> element = plain_failing_element(name)) {
    fail_on(reading, *element, name);
    return;
  }
  reading.entries.push_back({name, plain_crc(std::string_view(line).substr(last_space + 1))});
}

// The whole file as text mode gives it: byte by byte, a CR just before an LF dropped, 0x1A
// the end of the text, LF the end of a line.
Reading plain_lines(std::string_view bytes) {
  Reading reading;
  std::string line;
  for (std::size_t i = 0; i < bytes.size() && bytes[i] != '\x1A'; ++i) {
    if (bytes[i] == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      plain_line(line, reading);
      line.clear();
    } else {
      line += bytes[i];
    }
  }
  // A CR just before the 0x1A or the end stays: no LF follows it.
  plain_line(line, reading);
  return reading;
}

// `code` in UTF-8; a surrogate in the three bytes of its value.
std::string plain_utf8(char32_t code) {
  if (code < 0x80) return {static_cast<char>(code)};
  const int trail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
  std::string bytes = {static_cast<char>(0xFF << (7 - trail) | code >> 6 * trail)};
  for (int k = trail - 1; k >= 0; --k) bytes += static_cast<char>(0x80 | (code >> 6 * k & 0x3F));
  return bytes;
}

// The file by its mark: behind the UTF-8 one, the bytes after it; behind a UTF-16 one, its
// units paired into characters (a surrogate without its partner stands alone), in UTF-8.
Reading plain_read(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return plain_lines(bytes.substr(3));
  const bool little = bytes.substr(0, 2) == "\xFF\xFE";
  if (!little && bytes.substr(0, 2) != "\xFE\xFF") return plain_lines(bytes);
  std::vector<char32_t> units;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    units.push_back(little ? b * 256u + a : a * 256u + b);
  }
  std::string text;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const bool pair = units[i] >> 10 == 0x36 && i + 1 < units.size() && units[i + 1] >> 10 == 0x37;
    const char32_t code = pair ? 0x10000 + (units[i] - 0xD800) * 1024 + (units[i + 1] - 0xDC00)
                               : units[i];
    text += plain_utf8(code);
    i += pair;
  }
  return plain_lines(text);
}

// Whether `bytes` are UTF-8: split by their lead bytes' shapes, every piece must be the
// plain encoding of a character, and so in its shortest form, no surrogate, at most U+10FFFF.
bool plain_is_utf8(std::string_view bytes) {
  for (std::size_t i = 0, size = 1; i < bytes.size(); i += size) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    size = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 0;
    if (size == 0 || i + size > bytes.size()) return false;
    char32_t code = size == 1 ? lead : lead & (0x7F >> size);
    for (std::size_t k = 1; k < size; ++k) code = code << 6 | (bytes[i + k] & 0x3F);
    const bool surrogate = code >> 11 == 0x1B;
    if (surrogate || code > 0x10FFFF || plain_utf8(code) != bytes.substr(i, size)) return false;
  }
  return true;
}

// --- The product's reading ----------------------------------------------------------------

// load_sfv's loop, less the path that it joins the name to.
Reading product_read(std::string_view bytes) {
  const ListText list = list_text(bytes);
  const std::string_view text = list.text;
  Reading reading;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::optional<DataLine> data = split_data_line(text.substr(start, end - start));
    start = end + 1;
    if (!data) continue;
    if (is_utf8(data->name) != plain_is_utf8(data->name)) {
      std::fprintf(stderr, "is_utf8 disagrees on \"%s\"\n", std::string(data->name).c_str());
      std::abort();
    }
    if (const auto element = first_invalid_element(data->name)) {
      fail_on(reading, *element, data->name);
      break;
    }
    reading.entries.push_back({std::string(data->name), parse_crc_field(data->crc_field)});
  }
  return reading;
}

std::string quoted(const Reading& reading) {
  std::string text = reading.failing.empty() ? "" : "  fails on " + reading.failing + "\n";
  for (const Entry& e : reading.entries) {
    char crc[16] = "invalid";
    if (e.crc) std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(*e.crc));
    text += "  \"" + e.name + "\" " + crc + "\n";
  }
  return text;
}

void compare(const char* what, const Reading& got, const Reading& expected) {
  if (got == expected) return;
  std::fprintf(stderr, "%s: got %zu entries:\n%sexpected %zu:\n%s", what, got.entries.size(),
               quoted(got).c_str(), expected.entries.size(), quoted(expected).c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(input), size);
  compare("the list's entries", product_read(bytes), plain_read(bytes));

  // Each line of the input names a file; its CRC comes from the bytes around it. A name
  // that starts with ';' reads back behind "./", the same file in the list's folder.
  std::vector<Entry> written;
  std::string list(kSfvHeader);
  std::size_t start = 0;
  while (start <= bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    const std::string_view name = bytes.substr(start, end - start);
    if (plain_valid_leaf(name) && name != "." && name != "..") {
      std::uint32_t crc = static_cast<std::uint32_t>(end * 2654435761u);
      for (std::size_t i = start; i < end && i < start + 4; ++i) crc = crc << 8 ^ static_cast<unsigned char>(bytes[i]);
      written.push_back({(name.front() == ';' ? "./" : "") + std::string(name), crc});
      list += sfv_data_line(name, crc);
    }
    start = end + 1;
  }
  // Written in text mode: every LF goes out as CR LF.
  std::string file;
  file.reserve(list.size() + written.size() + 1);
  for (char c : list) {
    if (c == '\n') file += '\r';
    file += c;
  }
  compare("the writer's list read back", product_read(file), {written, ""});
  compare("the writer's list read plainly", plain_read(file), {written, ""});
  return 0;
}
