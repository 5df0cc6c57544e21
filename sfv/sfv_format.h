// The line rules of the SFV text format, free of any file or platform call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A data line cut at its last space. Both views point into the line.
struct DataLine {
  std::string_view name;       // everything before the last space, untrimmed
  std::string_view crc_field;  // everything after it, to the end of the line
};

// Returns the name and CRC field of a data line, or nothing for a line that carries no
// entry: an empty line, a comment (';' as its very first character), a line without a
// space or whose only space is its first character. Only the space separates, not a tab.
std::optional<DataLine> split_data_line(std::string_view line);

// Returns the CRC-32 that a CRC field gives, or nothing when the field is invalid.
// Accepted: leading white space, one sign, one "0x"/"0X" prefix, then hex digits up to the
// first other character. Valid with at least one digit and at most eight significant
// ones; a minus sign negates modulo 2^32.
std::optional<std::uint32_t> parse_crc_field(std::string_view field);

// How a list's names are written, as the mark at the start of its file tells.
enum class ListMark {
  None,   // no mark: names in the system's code page, or in UTF-8 where other tools wrote it
  Utf8,   // the UTF-8 mark EF BB BF
  Utf16,  // a UTF-16 mark: FF FE (little endian) or FE FF (big endian)
};

// A list's text, as its lines are then read.
struct ListText {
  ListMark mark = ListMark::None;
  // Without a mark, the bytes as the runtime's text mode gives them: a CR just before an LF
  // dropped, a byte 0x1A the end of the text. With the UTF-8 mark, the same, after the
  // mark. With a UTF-16 mark, the characters after the mark under the same two rules (CR
  // LF, U+001A), in UTF-8; a lone surrogate becomes bytes that are no UTF-8, which the name
  // check refuses. An odd last byte is no character and is dropped.
  std::string text;
};

// Returns the text of a list whose file holds `bytes`. Under every mark, the line rules
// above and the name check see the same characters in the text as in the file: UTF-8 and
// the code pages alike give the ASCII characters their ASCII bytes, and no other
// character a byte below 0x80. Raises std::bad_alloc only.
ListText list_text(std::string_view bytes);
